/* Export and linkage macros shared by every public header of telvi. */
#ifndef TELVI_API_H
#define TELVI_API_H

#if defined(__GNUC__)
#define TELVI_API __attribute__((visibility("default")))
#else
#define TELVI_API
#endif

#ifdef __cplusplus
#define TELVI_BEGIN_DECLS extern "C" {
#define TELVI_END_DECLS }
#else
#define TELVI_BEGIN_DECLS
#define TELVI_END_DECLS
#endif

#endif
