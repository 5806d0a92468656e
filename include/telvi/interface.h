/*
 * Interfaces: descriptors opened by URL (or by the colon-separated spec form) through a process-wide
 * registry of classes, one per URL scheme, and read and written through one small set of operations.
 *
 * URL:  scheme://host[:port]/resource[;name=value]...[?...][#...]
 * Spec: scheme:field:field:...   (file:/var/x:rw:644, inet:tcp:localhost:7000, ...)
 *
 * Every function returns -1 (or null) on failure with the cause in errno, and leaves the tables as
 * they were. Open interfaces belong to the registry until interfaceClose.
 */
#ifndef TELVI_INTERFACE_H
#define TELVI_INTERFACE_H

#include <netinet/in.h>
#include <stddef.h>
#include <sys/types.h>

#include "api.h"

TELVI_BEGIN_DECLS

#define INTERFACE_MAX_CLASSES 25
#define INTERFACE_MAX_DESCRIPTORS 256

struct intClass;

/* The peer of a read or write: the class of the interface, and for datagram sockets the sender of
 * the last datagram read or the receiver of the next one written. */
struct intPeer {
  const struct intClass *cls;
  struct sockaddr_in addr;
};

/* One interface class. Any operation may be null; the registry then applies its default. */
struct intClass {
  const char *name; /* the URL scheme */
  int (*open)(const char *urlOrSpec);
  int (*close)(int fd);
  int (*accept)(int fd);
  const char *(*type)(int fd);
  ssize_t (*read)(int fd, void *buf, size_t len, struct intPeer *peer);
  ssize_t (*readError)(int fd, void *buf, size_t len, struct intPeer *peer);
  ssize_t (*write)(int fd, const void *buf, size_t len, struct intPeer *peer);
  int (*remove)(const char *urlOrSpec);
  int (*validate)(int fd);
};

/* One open interface; records live in a table indexed by descriptor (descriptor -1: free). A pipe's
 * record also stands at its second descriptor, so either descriptor finds the interface. */
struct intStruct {
  int state;
  int fd;
  int fd2;      /* write end of a pipe, else -1 */
  int fdError;  /* stderr end of a pipe, else -1 */
  char *spec;   /* owned */
  int mode;     /* class-defined */
  int pid;      /* child process of a pipe, or a class-specific number; -1 when not used */
  const struct intClass *cls;
  void *priv;   /* class-private */
};

TELVI_API void interfaceInitialize(void);
TELVI_API int interfaceRegister(const struct intClass *cls);
TELVI_API const struct intClass *interfaceFindClass(const char *name);
TELVI_API int interfaceOpen(const char *urlOrSpec);
TELVI_API int interfaceClose(int fd);
TELVI_API int interfaceAcceptConnection(int fd);
TELVI_API const char *interfaceType(int fd);
TELVI_API ssize_t interfaceRead(int fd, void *buf, size_t len, struct intPeer *peer);
TELVI_API ssize_t interfaceReadError(int fd, void *buf, size_t len, struct intPeer *peer);
TELVI_API ssize_t interfaceWrite(int fd, const void *buf, size_t len, struct intPeer *peer);
/* A class's own words for the failure of the last open, read or write (a circular log's "Could not
 * lock file for writing."), or null when it gave none and errno says it all. A class sets it while
 * failing; every open, read and write clears it first. */
TELVI_API const char *interfaceErrorText(void);
TELVI_API void interfaceSetErrorText(const char *text);
TELVI_API int interfaceRemove(const char *urlOrSpec);
TELVI_API int interfaceValidateFD(int fd);
/* Out arguments may be null; spec points into the record (valid until the interface closes). */
TELVI_API int interfaceInfo(int fd, int *fd2, int *fdError, int *state, const char **spec, int *mode,
                            int *pid);
/* The record at fd, or null when fd is not an open interface. */
TELVI_API struct intStruct *interfaceRecord(int fd);

/* For classes: fill the record at fd (and at fd2 when >= 0); forget it again. */
TELVI_API int intAdd(const struct intClass *cls, int fd, int fd2, int fdError, const char *spec,
                     int mode, int pid);
TELVI_API void intRemove(int fd);

/* A relative name looked up in the directories of INTERFACE_PATH (separators ':', ' ', ','; default
 * "."). The result lives in a static buffer that the next call overwrites. */
TELVI_API const char *intFileFromInterfacePath(const char *name, int forCreate);

/* URL parts, each a fresh string freed by the caller with free(), or null when absent. */
TELVI_API int isURL(const char *text);
TELVI_API char *getURLScheme(const char *url);
TELVI_API char *getURLHost(const char *url);
TELVI_API char *getURLPort(const char *url);
TELVI_API char *getURLResource(const char *url);
TELVI_API char *getURLParam(const char *url, const char *name);

/* Next sep-separated field of *cursor (advanced past it), a fresh string freed by the caller; null for
 * an empty field or at the end. */
TELVI_API char *stringParse(const char **cursor, char sep);

TELVI_END_DECLS

#endif
