#pragma once

#include <QString>

// The program's version: the one number set in CMake (project VERSION).
QString ProgramVersion();
