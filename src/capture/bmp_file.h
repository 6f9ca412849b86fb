#pragma once
// A packed DIB in a movable global memory block -> a .bmp file.

#include <windows.h>

// Writes the BMP file header and the packed DIB held in `packedDib` (as
// CaptureDib makes it) to `path`, replacing any file of that name. True only
// when the whole file was written. A block that is not a whole packed DIB
// (null, unlockable, smaller than 40 + biSizeImage) creates no file; a file
// whose writing fails is removed again. The block stays the caller's.
bool WriteBmpFile(const wchar_t* path, HGLOBAL packedDib);

enum class NewBmpFile { Written, NameTaken, Failed };

// The same, but never replacing a file: NameTaken when `path` is in use. The
// name is claimed and filled through one handle that nobody else can open
// meanwhile, so a search indexer or a sync client that looks at every new file
// cannot make the writing fail, nor keep a failed file from being removed.
NewBmpFile WriteNewBmpFile(const wchar_t* path, HGLOBAL packedDib);
