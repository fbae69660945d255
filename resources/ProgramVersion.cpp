#include "resources/ProgramVersion.h"

QString ProgramVersion() {
    return QStringLiteral(SAVRO2_VERSION);
}
