/*
 * Malformed-datagram barrage for the agent suite: sends mutated and truncated SNMP messages at an
 * agent over UDP and, between bursts, a valid GetRequest whose answer it waits for.
 *
 *   barrage -p port [-n count] [-s stream] [-b burst] [-c community] [-t seconds]
 *
 * The mutations start from model messages of every version and PDU type this agent meets (v1, v2c,
 * v2u-shaped, Get, GetNext, GetBulk, Set, traps, odd lengths and tags) and then flip bits, overwrite
 * octets with the values length and tag decoders trip on (0x00, 0x7f, 0x80, 0x81, 0x84, 0xff),
 * truncate, splice, repeat, or replace the whole message with random octets. Each burst of `burst`
 * datagrams is followed by a probe (a v2c GetRequest for sysUpTime.0 with its own request ID); the
 * probe waits in the agent's socket behind the burst, so an answer also shows that the burst was
 * read. The socket buffer holds a burst of this size, so nothing is lost on the way in.
 *
 * Prints one line: "sent N probes P answered A late L" (late: answered after its time-out of 2 s,
 * or never). Gives up early, after `seconds` (-t, default 120) or ten late probes in a row (the
 * agent is gone). The same stream number (-s) gives the same datagrams. Exit status 0, or 2 on bad
 * usage or a socket failure.
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

static uint64_t rng = 88172645463325252ull;
static uint32_t next(void) {
  rng ^= rng << 13;
  rng ^= rng >> 7;
  rng ^= rng << 17;
  return (uint32_t)(rng >> 16);
}
static uint32_t below(uint32_t n) { return n ? next() % n : 0; }

/* ---- building valid messages (definite lengths, short or long form) ---- */

typedef struct {
  unsigned char b[4096];
  size_t n;
} Buf;

static void put(Buf *o, const void *p, size_t n) {
  if (o->n + n > sizeof o->b) n = sizeof o->b - o->n;
  memcpy(o->b + o->n, p, n);
  o->n += n;
}
static void tlv(Buf *o, unsigned tag, const Buf *v) {
  unsigned char h[6];
  size_t k = 0;
  h[k++] = (unsigned char)tag;
  if (v->n < 128) {
    h[k++] = (unsigned char)v->n;
  } else if (v->n < 256) {
    h[k++] = 0x81;
    h[k++] = (unsigned char)v->n;
  } else {
    h[k++] = 0x82;
    h[k++] = (unsigned char)(v->n >> 8);
    h[k++] = (unsigned char)v->n;
  }
  put(o, h, k);
  put(o, v->b, v->n);
}
static void integer(Buf *o, unsigned tag, long long value) {
  Buf v = {.n = 0};
  unsigned char t[9];
  int k = 0;
  do {
    t[k++] = (unsigned char)(value & 0xff);
    value >>= 8;
  } while (!((value == 0 && !(t[k - 1] & 0x80)) || (value == -1 && (t[k - 1] & 0x80))) && k < 9);
  while (k--) v.b[v.n++] = t[k];
  tlv(o, tag, &v);
}
static void octets(Buf *o, unsigned tag, const char *s, size_t n) {
  Buf v = {.n = 0};
  put(&v, s, n);
  tlv(o, tag, &v);
}
static void oid(Buf *o, const char *text) {
  Buf v = {.n = 0};
  unsigned long arcs[128] = {0};
  size_t n = 0;
  for (const char *p = text; *p && n < 128;) {
    if (*p == '.') { ++p; continue; }
    char *end;
    arcs[n++] = strtoul(p, &end, 10);
    p = end;
  }
  v.b[v.n++] = (unsigned char)(arcs[0] * 40 + (n > 1 ? arcs[1] : 0));
  for (size_t i = 2; i < n; ++i) {
    unsigned char t[5];
    int k = 0;
    unsigned long a = arcs[i];
    do { t[k++] = a & 0x7f; a >>= 7; } while (a);
    while (k--) v.b[v.n++] = t[k] | (k ? 0x80 : 0);
  }
  tlv(o, 0x06, &v);
}

/* A message: version, community, PDU of type tag with request ID, two integers and bindings. */
static size_t message(unsigned char *out, int version, const char *community, unsigned tag, long long id,
                      long long e1, long long e2, const char **oids, int count, int valueKind) {
  Buf list = {.n = 0}, pdu = {.n = 0}, msg = {.n = 0}, whole = {.n = 0};
  for (int i = 0; i < count; ++i) {
    Buf vb = {.n = 0};
    oid(&vb, oids[i]);
    switch (valueKind) {
      case 1: octets(&vb, 0x04, "mutated contact", 15); break;
      case 2: integer(&vb, 0x41, 4000000000ll); break;
      case 3: octets(&vb, 0x40, "\x7f\x00\x00\x01", 4); break;
      default: octets(&vb, 0x05, "", 0);
    }
    tlv(&list, 0x30, &vb);
  }
  integer(&pdu, 0x02, id);
  integer(&pdu, 0x02, e1);
  integer(&pdu, 0x02, e2);
  tlv(&pdu, 0x30, &list);
  integer(&msg, 0x02, version);
  octets(&msg, 0x04, community, strlen(community));
  tlv(&msg, tag, &pdu);
  tlv(&whole, 0x30, &msg);
  memcpy(out, whole.b, whole.n);
  return whole.n;
}

enum { kModels = 12 };
static unsigned char model[kModels][4096];
static size_t modelLen[kModels];

static int add(int k, int version, const char *community, unsigned tag, long long id, long long e1,
               long long e2, const char **oids, int count, int valueKind) {
  modelLen[k] = message(model[k], version, community, tag, id, e1, e2, oids, count, valueKind);
  return k + 1;
}

static void makeModels(const char *community) {
  static const char *sys[] = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.25.2.3.1.3.1",
                              "1.3.6.1.4.1.99999.1.1.1.0"};
  static const char *walk[] = {"1.3.6.1", "1.3.6.1.2.1.2.2.1.2", "1.3.6.1.4.1.99999.1.5"};
  static const char *deep[] = {"1.3.6.1.4.1.99999.1.5.1.2.4294967295.0.1.2.3.4.5.6.7.8.9.10.11.12"};
  static const char *contact[] = {"1.3.6.1.2.1.1.4.0"};
  int k = 0;
  k = add(k, 0, community, 0xa0, 1, 0, 0, sys, 4, 0);      /* v1 Get */
  k = add(k, 1, community, 0xa1, 2, 0, 0, walk, 3, 0);     /* v2c GetNext */
  k = add(k, 1, community, 0xa5, 3, 1, 20, walk, 3, 0);    /* v2c GetBulk */
  k = add(k, 1, community, 0xa5, 4, 3, 2147483647, walk, 3, 0); /* huge max-repetitions, no repeater */
  k = add(k, 1, community, 0xa3, 5, 0, 0, contact, 1, 1);  /* Set as reader */
  k = add(k, 0, community, 0xa3, 6, 0, 0, contact, 1, 2);  /* Set, wrong type */
  k = add(k, 1, community, 0xa7, 7, 0, 0, sys, 2, 3);      /* v2 trap */
  k = add(k, 1, community, 0xa2, 8, 0, 0, sys, 1, 0);      /* Response */
  k = add(k, 2, "", 0xa0, 9, 0, 0, sys, 1, 0);             /* v2u-shaped */
  k = add(k, 3, community, 0xa0, 10, 0, 0, sys, 1, 0);     /* v3 number */
  k = add(k, 1, community, 0xa0, -1, 0, 0, deep, 1, 0);    /* odd arcs */
  k = add(k, 1, community, 0xa6, 12, 0, 0, sys, 4, 2);     /* inform */
}

static const unsigned char nasty[] = {0x00, 0x7f, 0x80, 0x81, 0x82, 0x84, 0x85, 0xff, 0x30, 0x02, 0x04, 0x06};

/* One mutated datagram into out; returns its length. */
static size_t mutate(unsigned char *out) {
  int s = (int)below(kModels);
  size_t n = modelLen[s];
  memcpy(out, model[s], n);
  int rounds = 1 + (int)below(4);
  for (int r = 0; r < rounds; ++r) {
    switch (below(9)) {
      case 0: out[below((uint32_t)n)] ^= (unsigned char)(1u << below(8)); break;
      case 1: out[below((uint32_t)n)] = nasty[below(sizeof nasty)]; break;
      case 2: n = below((uint32_t)n + 1); break;                         /* truncate */
      case 3: {                                                         /* cut out a piece */
        size_t at = below((uint32_t)n + 1), len = below((uint32_t)(n - at) + 1);
        memmove(out + at, out + at + len, n - at - len);
        n -= len;
        break;
      }
      case 4: {                                                         /* repeat a piece */
        size_t at = below((uint32_t)n + 1), len = below((uint32_t)(n - at) + 1);
        if (n + len <= 1400) {
          memmove(out + at + len, out + at, n - at);
          n += len;
        }
        break;
      }
      case 5: {                                                         /* insert random octets */
        size_t at = below((uint32_t)n + 1), len = 1 + below(8);
        if (n + len <= 1400) {
          memmove(out + at + len, out + at, n - at);
          for (size_t i = 0; i < len; ++i) out[at + i] = (unsigned char)next();
          n += len;
        }
        break;
      }
      case 6:                                                           /* long-form length */
        if (n > 2) {
          size_t at = 1 + below((uint32_t)n - 1);
          out[at] = (unsigned char)(0x81 + below(4));
        }
        break;
      case 7:                                                           /* all random */
        n = below(600);
        for (size_t i = 0; i < n; ++i) out[i] = (unsigned char)next();
        if (n && below(2)) out[0] = 0x30;
        break;
      default:                                                          /* splice two models */
      {
        int t = (int)below(kModels);
        size_t cut = below((uint32_t)n + 1), from = below((uint32_t)modelLen[t] + 1);
        size_t len = modelLen[t] - from;
        if (cut + len > 1400) len = 1400 - cut;
        memcpy(out + cut, model[t] + from, len);
        n = cut + len;
      }
    }
    if (n == 0) break;
  }
  return n;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The request ID of a v2c Response, or -1. Probes use IDs above 0x40000000. */
static long responseId(const unsigned char *b, size_t n) {
  /* 30 L 02 01 01 04 Lc community a2 L 02 Li id */
  size_t i = 0;
  if (n < 2 || b[i++] != 0x30) return -1;
  if (b[i] & 0x80) i += 1 + (b[i] & 0x7f); else ++i;
  if (i + 3 > n || b[i] != 0x02 || b[i + 1] != 1) return -1;
  i += 3;
  if (i + 2 > n || b[i] != 0x04) return -1;
  i += 2 + b[i + 1];
  if (i + 2 > n || b[i] != 0xa2) return -1;
  ++i;
  if (b[i] & 0x80) i += 1 + (b[i] & 0x7f); else ++i;
  if (i + 2 > n || b[i] != 0x02 || b[i + 1] < 1 || b[i + 1] > 4) return -1;
  size_t len = b[i + 1];
  i += 2;
  if (i + len > n) return -1;
  long id = 0;
  for (size_t k = 0; k < len; ++k) id = (id << 8) | b[i + k];
  return id;
}

int main(int argc, char **argv) {
  int port = 0, burst = 8;
  double seconds = 120;
  long count = 1000;
  const char *community = "public";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "-p")) port = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "-n")) count = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "-s")) rng = strtoull(argv[i + 1], NULL, 10) * 2654435761u + 1;
    else if (!strcmp(argv[i], "-b")) burst = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "-c")) community = argv[i + 1];
    else if (!strcmp(argv[i], "-t")) seconds = atof(argv[i + 1]);
    else {
      fprintf(stderr, "usage: barrage -p port [-n count] [-s stream] [-b burst] [-c community] [-t seconds]\n");
      return 2;
    }
  }
  if (port <= 0 || burst < 1) {
    fprintf(stderr, "usage: barrage -p port [-n count] [-s stream] [-b burst] [-c community] [-t seconds]\n");
    return 2;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) < 0) {
    perror("barrage: socket");
    return 2;
  }
  makeModels(community);
  static const char *uptime[] = {"1.3.6.1.2.1.1.3.0"};
  unsigned char out[4096], in[65536];
  long sent = 0, probes = 0, answered = 0, late = 0, lateInARow = 0;
  double stop = now() + seconds;
  while (sent < count && now() < stop && lateInARow < 10) {
    for (int i = 0; i < burst && sent < count; ++i, ++sent) {
      size_t n = mutate(out);
      send(fd, out, n, 0); /* refused (ICMP) sends come back as errors: ignored */
    }
    long id = 0x40000000 + probes++;
    size_t n = message(out, 1, community, 0xa0, id, 0, 0, uptime, 1, 0);
    send(fd, out, n, 0);
    double limit = now() + 2.0;
    int got = 0;
    while (!got) {
      double left = limit - now();
      if (left <= 0) break;
      struct pollfd p = {.fd = fd, .events = POLLIN};
      if (poll(&p, 1, (int)(left * 1000) + 1) <= 0) continue;
      ssize_t r = recv(fd, in, sizeof in, 0);
      if (r > 0 && responseId(in, (size_t)r) == id) got = 1;
    }
    if (got) {
      ++answered;
      lateInARow = 0;
    } else {
      ++late;
      ++lateInARow;
    }
  }
  printf("sent %ld probes %ld answered %ld late %ld\n", sent, probes, answered, late);
  return 0;
}
