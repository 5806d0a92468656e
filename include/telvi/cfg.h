/*
 * Simple block/key configuration files, as the diagnostic set-up reads them:
 *
 *     # comment
 *     agent:
 *         ddl_config_block = diagnostics     # comments run to the end of the line
 *     diagnostics:
 *         all_channels = error warning \
 *                        info
 *
 * A line ending in ':' opens a block; "key = value" lines are entries of the current block; a
 * trailing backslash continues a line. The file keeps its lines so that it can be written back.
 */
#ifndef TELVI_CFG_H
#define TELVI_CFG_H

#include "api.h"

TELVI_BEGIN_DECLS

struct cfgFile;

/* Reads the file; null when it cannot be read. `reserved` is not used (pass null). Free with cfgFree. */
TELVI_API struct cfgFile *cfgLoad(void *reserved, const char *path);
/* An empty configuration. */
TELVI_API struct cfgFile *cfgCreate(void);
TELVI_API void cfgFree(struct cfgFile *cfg);
/* The value of key in block (the later entry when a file repeats it), or null. The text belongs to
 * the configuration and stays valid until the next change of it. */
TELVI_API const char *cfgGet(struct cfgFile *cfg, const char *block, const char *key);
/* Replaces the entry's line (keeping its comment), or adds the entry after its block's header, or
 * appends the block. 0, or -1 for texts the saved file could not give back as set: a '#' or newline
 * in any, blanks around one, '=' in the key, a value ending in ':', a line past 4095 bytes. */
TELVI_API int cfgSet(struct cfgFile *cfg, const char *block, const char *key, const char *value);
/* Remove every line of the entry / the block's header and its lines; 0, or -1 when there were none. */
TELVI_API int cfgDelKey(struct cfgFile *cfg, const char *block, const char *key);
TELVI_API int cfgDelBlock(struct cfgFile *cfg, const char *block);
/* Writes every line back; 0 or -1. */
TELVI_API int cfgSave(struct cfgFile *cfg, const char *path);

TELVI_END_DECLS

#endif
