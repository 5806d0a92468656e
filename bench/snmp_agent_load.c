/*
 * Load generator for the example agent (doc/examples/snmp-agent.tcl): sends SNMPv2c GetNext
 * requests over loopback with a fixed number in flight and counts the answers per second.
 *
 *   snmp_agent_load [-p port] [-d depth] [-t seconds] [-c community] [-o oid]
 *
 * One request is encoded once by hand; only its request ID changes. An answer counts when it is a
 * Response whose request ID is one in flight; a request that has no answer after 200 ms is sent
 * again under a new ID (counted as lost). Prints one line: depth, seconds, answers, answers per
 * second, lost requests.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxDepth = 256 };

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* BER helpers for the one message built here (all lengths below 128). */
static size_t encodeOid(const char *text, unsigned char *out) {
  uint32_t arcs[128];
  size_t n = 0;
  for (const char *p = text; *p && n < 128;) {
    if (*p == '.') { ++p; continue; }
    arcs[n++] = (uint32_t)strtoul(p, (char **)&p, 10);
  }
  if (n < 2) return 0;
  size_t len = 0;
  out[len++] = (unsigned char)(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < n; ++i) {
    unsigned char tmp[5];
    int k = 0;
    uint32_t v = arcs[i];
    do { tmp[k++] = v & 0x7f; v >>= 7; } while (v);
    while (k--) out[len++] = tmp[k] | (k ? 0x80 : 0);
  }
  return len;
}

/* The message; *idAt is where the four octets of the request ID are. */
static size_t buildGetNext(const char *community, const char *oid, unsigned char *msg, size_t *idAt) {
  unsigned char oidBytes[600], vb[700], pdu[800];
  size_t oidLen = encodeOid(oid, oidBytes), n = 0, p = 0;
  if (oidLen == 0 || oidLen > 100 || strlen(community) > 60) return 0;
  /* VarBind list: SEQUENCE { SEQUENCE { OID, NULL } } */
  vb[n++] = 0x30; vb[n++] = (unsigned char)(oidLen + 6);
  vb[n++] = 0x30; vb[n++] = (unsigned char)(oidLen + 4);
  vb[n++] = 0x06; vb[n++] = (unsigned char)oidLen;
  memcpy(vb + n, oidBytes, oidLen); n += oidLen;
  vb[n++] = 0x05; vb[n++] = 0x00;
  /* GetNextRequest-PDU: request ID (4 octets), error status 0, error index 0, bindings */
  pdu[p++] = 0xa1; pdu[p++] = (unsigned char)(6 + 3 + 3 + n);
  pdu[p++] = 0x02; pdu[p++] = 4;
  size_t idInPdu = p;
  memset(pdu + p, 0, 4); p += 4;
  pdu[p++] = 0x02; pdu[p++] = 1; pdu[p++] = 0;
  pdu[p++] = 0x02; pdu[p++] = 1; pdu[p++] = 0;
  memcpy(pdu + p, vb, n); p += n;
  /* Message: SEQUENCE { version 1 (SNMPv2c), community, PDU } */
  size_t c = strlen(community), m = 0;
  size_t body = 3 + 2 + c + p;
  if (body > 127) return 0;
  msg[m++] = 0x30; msg[m++] = (unsigned char)body;
  msg[m++] = 0x02; msg[m++] = 1; msg[m++] = 1;
  msg[m++] = 0x04; msg[m++] = (unsigned char)c;
  memcpy(msg + m, community, c); m += c;
  *idAt = m + idInPdu;
  memcpy(msg + m, pdu, p); m += p;
  return m;
}

/* Reads a BER header at *at; returns the content length or -1. */
static long header(const unsigned char *b, size_t len, size_t *at, unsigned char *tag) {
  if (*at + 2 > len) return -1;
  *tag = b[(*at)++];
  unsigned long l = b[(*at)++];
  if (l & 0x80) {
    int k = (int)(l & 0x7f);
    if (k < 1 || k > 4 || *at + (size_t)k > len) return -1;
    l = 0;
    while (k--) l = (l << 8) | b[(*at)++];
  }
  return *at + l <= len ? (long)l : -1;
}

/* The request ID of a Response, or -1. */
static long responseId(const unsigned char *b, size_t len) {
  size_t at = 0;
  unsigned char tag;
  long l;
  if (header(b, len, &at, &tag) < 0 || tag != 0x30) return -1;
  if ((l = header(b, len, &at, &tag)) < 0 || tag != 0x02) return -1; /* version */
  at += (size_t)l;
  if ((l = header(b, len, &at, &tag)) < 0 || tag != 0x04) return -1; /* community */
  at += (size_t)l;
  if (header(b, len, &at, &tag) < 0 || tag != 0xa2) return -1;
  if ((l = header(b, len, &at, &tag)) < 0 || tag != 0x02 || l < 1 || l > 4) return -1;
  long id = 0;
  for (long i = 0; i < l; ++i) id = (id << 8) | b[at + (size_t)i];
  return id;
}

int main(int argc, char **argv) {
  int port = 16161, depth = 1;
  double seconds = 3;
  const char *community = "public", *oid = "1.3.6.1.4.1.99999.1.1.0";
  int opt;
  while ((opt = getopt(argc, argv, "p:d:t:c:o:")) != -1) {
    switch (opt) {
      case 'p': port = atoi(optarg); break;
      case 'd': depth = atoi(optarg); break;
      case 't': seconds = atof(optarg); break;
      case 'c': community = optarg; break;
      case 'o': oid = optarg; break;
      default:
        fprintf(stderr, "usage: %s [-p port] [-d depth] [-t seconds] [-c community] [-o oid]\n", argv[0]);
        return 2;
    }
  }
  if (depth < 1 || depth > kMaxDepth) depth = depth < 1 ? 1 : kMaxDepth;
  unsigned char msg[256];
  size_t idAt;
  size_t msgLen = buildGetNext(community, oid, msg, &idAt);
  if (msgLen == 0) {
    fprintf(stderr, "cannot encode the request\n");
    return 2;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to = {0};
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) != 0) {
    perror("socket");
    return 1;
  }
  /* Slots of requests in flight: the ID each carries and when it went out. */
  uint32_t ids[kMaxDepth];
  double sent[kMaxDepth];
  uint32_t nextId = 1;
  long answered = 0, lost = 0;
  #define SEND(slot)                                                   \
    do {                                                               \
      ids[slot] = nextId++ & 0x7fffffff;                               \
      msg[idAt] = (unsigned char)(ids[slot] >> 24);                    \
      msg[idAt + 1] = (unsigned char)(ids[slot] >> 16);                \
      msg[idAt + 2] = (unsigned char)(ids[slot] >> 8);                 \
      msg[idAt + 3] = (unsigned char)ids[slot];                        \
      sent[slot] = now();                                              \
      if (send(fd, msg, msgLen, 0) < 0 && errno != ECONNREFUSED) {     \
        perror("send");                                                \
        return 1;                                                      \
      }                                                                \
    } while (0)
  double start = now(), end = start + seconds;
  for (int s = 0; s < depth; ++s) SEND(s);
  unsigned char in[65536];
  for (;;) {
    double t = now();
    if (t >= end) break;
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, 20);
    if (ready > 0) {
      ssize_t got = recv(fd, in, sizeof in, 0);
      if (got <= 0) continue;
      long id = responseId(in, (size_t)got);
      for (int s = 0; s < depth; ++s)
        if (id >= 0 && ids[s] == (uint32_t)id) {
          ++answered;
          SEND(s);
          break;
        }
    }
    t = now();
    for (int s = 0; s < depth; ++s)
      if (t - sent[s] > 0.2) {
        ++lost;
        SEND(s);
      }
  }
  double elapsed = now() - start;
  printf("depth %d seconds %.2f answers %ld per_second %.0f lost %ld\n", depth, elapsed, answered,
         answered / elapsed, lost);
  close(fd);
  return 0;
}
