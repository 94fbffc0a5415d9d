#pragma once

// The reduced copy of a picture: area averaging in whole numbers, with SSE2
// where the processor has it (the plain loops give the same pixels).

#include <string>

struct TRaster;  // imaging/UImageCanvas.h

// Reduces Source into Dest, Width x Height (each at most the source's), by
// area averaging: every output pixel is the mean of the source area it
// covers, pixels cut by its edges counted by the share they have.
bool ShrinkRaster(const TRaster& Source, TRaster& Dest, int Width, int Height, std::string& Error);
