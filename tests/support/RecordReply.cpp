#include "support/RecordReply.h"

#include "measurement/RecordDecoder.h"

QByteArray RecordReply(double value) {
    TMeasurementRecord record;
    record.Mask = 1;
    record.Flags = 0x0800;
    record.Calibration = 3;
    record.Values[0] = value;
    return EncodeRecordCarriers(record) + QByteArray("\x9a\xa0\xa0\xa0", 4);
}
