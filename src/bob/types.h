// What the bob store asks of the SNMP bob types beyond their conversions.
#ifndef TELVI_BOB_TYPES_H
#define TELVI_BOB_TYPES_H

#include <string>

#include "telvi/datatype.h"

namespace telvi::bob {

// Why type refused text when it was written into binary: a short phrase for a message, or empty
// when there is nothing more to say than that the text was refused.
std::string refusalReason(const dataType *type, const void *binary, const char *text);

}  // namespace telvi::bob

#endif
