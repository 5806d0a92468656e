// Internet host names to addresses, as the inet interface class resolves them; shared with the
// packages that accept host names in other texts (transport addresses of SNMP bobs).
#ifndef TELVI_IO_RESOLVE_H
#define TELVI_IO_RESOLVE_H

#include <netinet/in.h>

#include <string>

namespace telvi::io {

// "localhost", a dotted address, or a name (tried again without its domain); false with errno set.
bool resolveInetHost(const std::string &host, in_addr &address);

}  // namespace telvi::io

#endif
