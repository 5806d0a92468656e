/* telvi: the whole public C interface of pkgtelvi.so.1.0. */
#ifndef TELVI_TELVI_H
#define TELVI_TELVI_H

#include "api.h"
#include "package.h"
#include "id.h"
#include "datatype.h"
#include "util.h"
#include "toe.h"
#include "cfgfile.h"
#include "proc.h"
#include "interface.h"
#include "clog.h"
#include "lof.h"
#include "intraface.h"
#include "cfg.h"
#include "ddl.h"
#include "expr64.h"
#include "asn1.h"
#include "snmp.h"
#include "bob.h"
#include "service.h"
#include "data.h"
#include "snmpv2.h"
#include "rule.h"
#include "alarm.h"
#include "status.h"
#include "identity.h"
#include "acl.h"

#endif
