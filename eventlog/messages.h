// Message IDs of the catalog in eventlog/messages.def.
#pragma once

enum HexlornMessageId : unsigned int {
#define HEXLORN_MESSAGE(name, id, english, simplified, traditional) name = id,
#include "eventlog/messages.def"
#undef HEXLORN_MESSAGE
};
