#pragma once
// The file of a file transfer: the picture as a BMP or PNG file where the
// application asked for it.

#include <windows.h>

#include <string>

#include "twain_protocol.h"

// Writes the packed DIB (24-bit, grey or black-and-white, as ViewPackedDib
// takes them) as a `format` (TWFF_BMP or TWFF_PNG) file at `path`, replacing
// any file of that name. The file appears whole or not at all: it is written
// under a temporary name in the same folder and renamed when complete. A BMP
// file holds the DIB as it is, palette included; a PNG file is 24-bit colour,
// 8-bit grey or 1-bit black-and-white. PNG goes through the imaging
// component, so the calling thread must have COM started.
bool WriteImageFile(const std::wstring& path, HGLOBAL packedDib, TW_UINT16 format,
                    double dotsPerInch);
