#pragma once
// A widget in a layer without widgets.
#include <QDialog>
