#pragma once
// A store reaching up into the main window.
#include "register/Unit1.h"
