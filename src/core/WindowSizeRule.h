#pragma once

#include <QSize>

// The window's outer size for a work area of width x height at the given pixels per inch.
// A dimension of the work area at or below its threshold keeps the design value.
QSize windowSizeRule(int workWidth, int workHeight, int ppi, QSize designSize);
