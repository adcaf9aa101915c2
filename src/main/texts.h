// Numbers of the program's texts in its string table.
#pragma once

enum TextId : unsigned {
#define TEXT(id, symbol, text) symbol = id,
#include "platform/texts.def"
#undef TEXT
};
