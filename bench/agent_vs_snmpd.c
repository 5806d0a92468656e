/*
 * Load generator for bench/agent_vs_snmpd: walks subtrees of an SNMP agent over UDP with SNMPv2c
 * GetNext or GetBulk requests, a fixed number of them in flight, and counts answers and bindings.
 *
 *   agent_vs_snmpd_load -p port [-c community] [-d depth] [-t seconds] [-b maxreps] subtree ...
 *
 * Each of the `depth` slots walks the subtrees in turn, one request at a time: it asks for what
 * follows its cursor (GetNext with one binding, or GetBulk with max-repetitions `maxreps` when -b
 * is given), moves its cursor to the last OID of the answer, and starts the next subtree when the
 * answer leaves the current one, ends with endOfMibView or carries an error. Requests that get no
 * answer within one second are sent again under a new request ID and counted as lost.
 *
 * Prints one line: "requests N varbinds V seconds T rps X vbps Y lost L".
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxDepth = 256, kMaxTrees = 32, kMaxOid = 300 };

typedef struct {
  unsigned char b[kMaxOid];
  size_t n;
} Oid; /* content octets of an encoded OID */

static Oid trees[kMaxTrees];
static int treeCount;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int parseOid(const char *text, Oid *o) {
  unsigned long arcs[128];
  size_t n = 0;
  for (const char *p = text; *p && n < 128;) {
    if (*p == '.') { ++p; continue; }
    char *end;
    arcs[n++] = strtoul(p, &end, 10);
    if (end == p) return -1;
    p = end;
  }
  if (n < 2) return -1;
  o->n = 0;
  o->b[o->n++] = (unsigned char)(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < n; ++i) {
    unsigned char t[5];
    int k = 0;
    unsigned long a = arcs[i];
    do { t[k++] = a & 0x7f; a >>= 7; } while (a);
    while (k--) o->b[o->n++] = t[k] | (k ? 0x80 : 0);
  }
  return 0;
}

/* Writes a length; returns octets written. */
static size_t putLen(unsigned char *p, size_t len) {
  if (len < 128) { p[0] = (unsigned char)len; return 1; }
  if (len < 256) { p[0] = 0x81; p[1] = (unsigned char)len; return 2; }
  p[0] = 0x82; p[1] = (unsigned char)(len >> 8); p[2] = (unsigned char)len; return 3;
}
static size_t wrap(unsigned char *out, unsigned tag, const unsigned char *in, size_t n) {
  size_t k = 0;
  out[k++] = (unsigned char)tag;
  k += putLen(out + k, n);
  memcpy(out + k, in, n);
  return k + n;
}
static size_t putInt(unsigned char *out, uint32_t v) {
  /* four octets, positive (high bit kept clear by the caller's IDs) */
  out[0] = 0x02; out[1] = 4;
  out[2] = (unsigned char)(v >> 24); out[3] = (unsigned char)(v >> 16);
  out[4] = (unsigned char)(v >> 8); out[5] = (unsigned char)v;
  return 6;
}

static size_t buildRequest(unsigned char *msg, const char *community, int maxreps, uint32_t id, const Oid *at) {
  unsigned char vb[400], list[400], pdu[500], body[600];
  size_t n = 0, m;
  unsigned char oidTlv[kMaxOid + 4];
  m = wrap(oidTlv, 0x06, at->b, at->n);
  memcpy(vb, oidTlv, m);
  vb[m++] = 0x05; vb[m++] = 0x00;
  unsigned char one[400];
  size_t k = wrap(one, 0x30, vb, m);
  n = wrap(list, 0x30, one, k);
  m = 0;
  m += putInt(pdu + m, id);
  pdu[m++] = 0x02; pdu[m++] = 1; pdu[m++] = 0;                                 /* error / non-repeaters */
  pdu[m++] = 0x02; pdu[m++] = 1; pdu[m++] = (unsigned char)(maxreps > 0 ? maxreps : 0); /* index / max-reps */
  memcpy(pdu + m, list, n);
  m += n;
  size_t b = 0;
  body[b++] = 0x02; body[b++] = 1; body[b++] = 1;  /* version: v2c */
  b += wrap(body + b, 0x04, (const unsigned char *)community, strlen(community));
  b += wrap(body + b, maxreps > 0 ? 0xa5 : 0xa1, pdu, m);
  return wrap(msg, 0x30, body, b);
}

/* Reads a tag and length at *i; returns the content length or -1. */
static long header(const unsigned char *b, size_t n, size_t *i, unsigned *tag) {
  if (*i + 2 > n) return -1;
  *tag = b[(*i)++];
  size_t len = b[(*i)++];
  if (len & 0x80) {
    int k = len & 0x7f;
    if (k < 1 || k > 3 || *i + (size_t)k > n) return -1;
    len = 0;
    while (k--) len = (len << 8) | b[(*i)++];
  }
  if (*i + len > n) return -1;
  return (long)len;
}

typedef struct {
  uint32_t id;
  long errorStatus;
  int count;         /* bindings */
  Oid last;          /* OID of the last binding */
  unsigned lastType; /* its value tag */
} Answer;

static int parseResponse(const unsigned char *b, size_t n, Answer *a) {
  size_t i = 0;
  unsigned tag;
  long len;
  if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x30) return -1;
  if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x02) return -1;  /* version */
  i += (size_t)len;
  if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x04) return -1;  /* community */
  i += (size_t)len;
  if ((len = header(b, n, &i, &tag)) < 0 || tag != 0xa2) return -1;
  uint32_t v[3];
  for (int k = 0; k < 3; ++k) {
    if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x02 || len > 5) return -1;
    uint32_t x = 0;
    for (long q = 0; q < len; ++q) x = (x << 8) | b[i + (size_t)q];
    v[k] = x;
    i += (size_t)len;
  }
  a->id = v[0];
  a->errorStatus = v[1];
  a->count = 0;
  a->last.n = 0;
  a->lastType = 0;
  if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x30) return -1;
  size_t end = i + (size_t)len;
  while (i < end) {
    if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x30) return -1;
    size_t next = i + (size_t)len;
    if ((len = header(b, n, &i, &tag)) < 0 || tag != 0x06 || len > kMaxOid) return -1;
    memcpy(a->last.b, b + i, (size_t)len);
    a->last.n = (size_t)len;
    i += (size_t)len;
    if (header(b, n, &i, &tag) < 0) return -1;
    a->lastType = tag;
    a->count++;
    i = next;
  }
  return 0;
}

typedef struct {
  int tree;
  Oid cursor;
  uint32_t id;
  double sentAt;
} Slot;

int main(int argc, char **argv) {
  int port = 0, depth = 1, maxreps = 0;
  double seconds = 3;
  const char *community = "public";
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i += 2) {
    if (i + 1 >= argc) break;
    if (!strcmp(argv[i], "-p")) port = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "-c")) community = argv[i + 1];
    else if (!strcmp(argv[i], "-d")) depth = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "-t")) seconds = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "-b")) maxreps = atoi(argv[i + 1]);
    else break;
  }
  for (; i < argc && treeCount < kMaxTrees; ++i) {
    if (parseOid(argv[i], &trees[treeCount]) < 0) break;
    treeCount++;
  }
  if (i < argc || port <= 0 || depth < 1 || depth > kMaxDepth || maxreps < 0 || maxreps > 127 || treeCount == 0 ||
      strlen(community) > 64) {
    fprintf(stderr, "usage: agent_vs_snmpd_load -p port [-c community] [-d depth] [-t seconds] [-b maxreps] subtree ...\n");
    return 2;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) < 0) {
    perror("agent_vs_snmpd_load: socket");
    return 2;
  }
  static Slot slots[kMaxDepth];
  unsigned char out[1024], in[65536];
  uint32_t nextId = 1;
  long requests = 0, varbinds = 0, lost = 0;
  double start = now(), stop = start + seconds;
  for (int s = 0; s < depth; ++s) {
    slots[s].tree = s % treeCount;
    slots[s].cursor = trees[slots[s].tree];
    slots[s].id = nextId++;
    slots[s].sentAt = now();
    send(fd, out, buildRequest(out, community, maxreps, slots[s].id, &slots[s].cursor), 0);
  }
  while (now() < stop) {
    struct pollfd p = {.fd = fd, .events = POLLIN};
    if (poll(&p, 1, 50) > 0) {
      ssize_t r = recv(fd, in, sizeof in, 0);
      Answer a;
      if (r > 0 && parseResponse(in, (size_t)r, &a) == 0) {
        for (int s = 0; s < depth; ++s) {
          if (slots[s].id != a.id) continue;
          Slot *slot = &slots[s];
          requests++;
          varbinds += a.count;
          const Oid *tree = &trees[slot->tree];
          int inside = a.count > 0 && a.errorStatus == 0 && a.lastType != 0x82 && a.last.n > tree->n &&
                       memcmp(a.last.b, tree->b, tree->n) == 0;
          if (inside) {
            slot->cursor = a.last;
          } else {
            slot->tree = (slot->tree + 1) % treeCount;
            slot->cursor = trees[slot->tree];
          }
          slot->id = nextId++ & 0x7fffffff;
          slot->sentAt = now();
          send(fd, out, buildRequest(out, community, maxreps, slot->id, &slot->cursor), 0);
          break;
        }
      }
    }
    double t = now();
    for (int s = 0; s < depth; ++s) {
      if (t - slots[s].sentAt < 1.0) continue;
      lost++;
      slots[s].id = nextId++ & 0x7fffffff;
      slots[s].sentAt = t;
      send(fd, out, buildRequest(out, community, maxreps, slots[s].id, &slots[s].cursor), 0);
    }
  }
  double spent = now() - start;
  printf("requests %ld varbinds %ld seconds %.2f rps %.0f vbps %.0f lost %ld\n", requests, varbinds, spent,
         requests / spent, varbinds / spent, lost);
  return 0;
}
