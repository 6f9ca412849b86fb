#pragma once
// A packed DIB in a movable global memory block -> a .bmp file.

#include <windows.h>

// Writes the BMP file header and the packed DIB held in `packedDib` (as
// CaptureDib makes it) to `path`, replacing any file of that name. True only
// when the whole file was written. A block that is not a whole packed DIB
// (null, unlockable, smaller than 40 + biSizeImage) creates no file; a file
// whose writing fails is removed again. The block stays the caller's.
bool WriteBmpFile(const wchar_t* path, HGLOBAL packedDib);
