#pragma once
// Resource identifiers of the program. Plain macros: the resource compiler
// reads this header too.

#define IDI_SNAPWARD 201
