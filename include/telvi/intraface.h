/*
 * Intrafaces: interfaces (telvi/interface.h) with up to three message layers stacked on them, so that
 * messages made of fields travel instead of bytes. From the wire upward:
 *
 *   transport   cuts the byte stream into frames          "eot", "eotn", "shell"
 *   encoding    transforms a frame's bytes ("ace")         "sin"
 *   field codec splits a frame into named fields ("pie")   "type", "tid", "tsid"
 *
 * Spec: pie:ace:transport:interface-spec (an empty or "null" layer is absent), or an interface URL
 * with the parameters pie, ace and transport. Reads never block: bytes that have arrived wait in the
 * descriptor's read buffer until a whole frame is there. Writes queue what the interface does not
 * take at once and drain it on the next write or flush.
 *
 * Fields and frames are byte strings: every field handed out is also NUL-terminated, and the lengths
 * arrays carry the real sizes (a field may hold NUL bytes).
 */
#ifndef TELVI_INTRAFACE_H
#define TELVI_INTRAFACE_H

#include <stddef.h>

#include "api.h"
#include "interface.h"

TELVI_BEGIN_DECLS

#define INTRAFACE_MAX_CLASSES 25

/* One layer class; a class fills only the operations of its layer. Outputs marked "fresh" are
 * malloc'd and freed by the caller with free(). Operations return 0 on success and -1 on failure. */
struct intrafaceClass {
  const char *name;
  /* Transport: finds the first complete frame at the start of buf. Returns 1 with the frame's length
   * and the number of bytes it took from buf (frame and delimiters), 0 when no frame is complete yet.
   * *dropNewline set to 1 asks the caller to drop a newline if it is the next byte to arrive. */
  int (*transportRead)(const char *buf, size_t len, size_t *frameLen, size_t *consumed,
                       int *dropNewline);
  /* Transport: the frame with its delimiters (fresh). */
  int (*transportWrite)(const char *frame, size_t len, char **out, size_t *outLen);
  /* Encoding: decode and encode a frame (fresh). */
  int (*decode)(const char *in, size_t len, char **out, size_t *outLen);
  int (*encode)(const char *in, size_t len, char **out, size_t *outLen);
  /* Field codec: frame to fields (fresh array of fresh NUL-terminated fields, fresh lengths) and
   * fields to frame (fresh). */
  int (*extract)(const char *frame, size_t len, int *count, char ***fields, size_t **lengths);
  int (*insert)(int count, char *const *fields, const size_t *lengths, char **frame,
                size_t *frameLen);
};

/* The registry of layer classes; registering a name again replaces that class in place. */
TELVI_API void intrafaceInitialize(void);
TELVI_API int intrafaceRegister(const struct intrafaceClass *cls);
TELVI_API const struct intrafaceClass *intrafaceFindClass(const char *name);

/* Opens the interface and creates the layer records of its descriptors; -1 with errno (EINVAL for
 * an unknown layer name). */
TELVI_API int intrafaceOpen(const char *spec);
/* 1: a message was delivered, or none is complete yet (*count 0); 0: end of input and no complete
 * frame left; -1: error (EBADMSG for a frame the encoding or field codec refuses, EMSGSIZE for more
 * than 16 MiB without a frame end; the bytes stay buffered). lengths may be null. The caller frees
 * the fields with intrafaceFreeBufferList. */
TELVI_API int intrafaceRead(int fd, int *count, char ***fields, size_t **lengths);
/* Everything waiting on the interface's error stream (fresh, NUL-terminated); its length or -1. */
TELVI_API int intrafaceReadError(int fd, char **buffer, size_t *length);
/* 0: all written; 1: part stays queued; -1: error. lengths may be null (fields are then C strings);
 * count 0 only flushes. */
TELVI_API int intrafaceWrite(int fd, int count, char *const *fields, const size_t *lengths,
                             struct intPeer *peer);
TELVI_API int intrafaceFlush(int fd, struct intPeer *peer);
TELVI_API int intrafaceClose(int fd);
/* The accepted connection's descriptor, with the listener's layers and empty buffers; -1 (or 0 when
 * the interface's class cannot accept). */
TELVI_API int intrafaceAcceptConnection(int fd);
/* The layer names ("null" when absent; they belong to the record), then what interfaceInfo gives. */
TELVI_API int intrafaceInfo(int fd, const char **pie, const char **ace, const char **transport,
                            int *fd2, int *fdError, int *state, const char **spec, int *mode,
                            int *pid);
TELVI_API const char *intrafaceType(int fd);
/* Bytes waiting in the descriptor's read or write buffer; -1 when it has no layer record. */
TELVI_API long intrafaceBuffered(int fd, int output);
/* Frees what intrafaceRead handed out (any argument may be null). */
TELVI_API void intrafaceFreeBufferList(int count, char **fields, size_t *lengths);

TELVI_END_DECLS

#endif
