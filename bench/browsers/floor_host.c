/* The floor of the browser benchmark: a native host that reads the same messages the project's host
 * reads and answers each at once with one of the size and form the project's host sends, doing no
 * other work, so that the time left is the browsers' own cost of carrying the bytes.
 * It looks only at the first characters of each message (base64 of the message text):
 *   reply:N                      a reply of N bytes, its first chunk now, the next on each more
 *   stream:N                     a reply of N bytes, every chunk at once, unasked
 *   {"more":"more"}              the next chunk
 *   {"part":"true","count":K...  the start of a split request, acknowledged unless it holds "oneway"
 *   {"part":"...                 a piece, acknowledged unless its request is one-way
 *   anything else (a last piece, a whole request)  a short answer
 * It widens its pipes as the project's host does; NPC_FLOOR_NARROW=1 leaves them at the system's
 * default, to see what that costs. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { CHUNK_SIZE = 786423, CHUNK_BASE64 = 1048564, DIRECT_REPLY_LIMIT = 1048576, WIDE_PIPE = 1 << 20 };

static const char ACK[] = "{\"more\":\"more\"}";
/* As long as the benchmark library's answer to a request of some MiB. */
static const char SHORT_ANSWER[] = "{\"length\":33554432,\"checksum\":\"0123456789abcdef\"}";
static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static int read_all(char *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = read(0, data + done, length - done);
    if (got <= 0) return -1;
    done += (size_t)got;
  }
  return 0;
}

static int write_all(const char *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t put = write(1, data + done, length - done);
    if (put <= 0) return -1;
    done += (size_t)put;
  }
  return 0;
}

/* One frame: the length, least significant byte first, and the body in a single write. */
static char *frame;
static int send_frame(const char *body, size_t length) {
  frame[0] = (char)(length & 0xFF);
  frame[1] = (char)((length >> 8) & 0xFF);
  frame[2] = (char)((length >> 16) & 0xFF);
  frame[3] = (char)((length >> 24) & 0xFF);
  memcpy(frame + 4, body, length);
  return write_all(frame, length + 4);
}

/* {"part": "<base64>"} or {"last": "<base64>"} for `bytes` bytes, as the host writes them; the
 * base64 is filled in once, only its padding and the closing characters change. */
static char *chunk;
static int send_chunk(size_t bytes, int last) {
  const size_t encoded = (bytes + 2) / 3 * 4;
  memcpy(chunk, last ? "{\"last\": \"" : "{\"part\": \"", 10);
  if (bytes % 3 != 0) chunk[10 + encoded - 1] = '=';
  if (bytes % 3 == 1) chunk[10 + encoded - 2] = '=';
  memcpy(chunk + 10 + encoded, "\"}", 2);
  const int failed = send_frame(chunk, encoded + 12);
  for (size_t i = encoded >= 2 ? encoded - 2 : 0; i < encoded + 2 && i < CHUNK_BASE64; ++i) chunk[10 + i] = ALPHABET[i % 64];
  return failed;
}

/* The start of a message's text: up to 48 bytes from the first 64 characters of its base64 (the
 * body is a JSON string, so they follow a quote), NUL-terminated. */
static void message_head(const char *body, size_t length, char *head) {
  unsigned bits = 0, count = 0, out = 0;
  for (size_t i = 1; i < length && i <= 64; ++i) {
    const char *at = memchr(ALPHABET, body[i], 64);
    if (body[i] == '\0' || at == NULL) break;
    bits = bits << 6 | (unsigned)(at - ALPHABET);
    count += 6;
    if (count >= 8) {
      count -= 8;
      head[out++] = (char)(bits >> count & 0xFF);
    }
  }
  head[out] = '\0';
}

static int starts(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

/* The chunks of the reply being sent: the first, or all of them unasked. */
static size_t remaining;
static int send_next_chunk(void) {
  const size_t bytes = remaining < CHUNK_SIZE ? remaining : CHUNK_SIZE;
  remaining -= bytes;
  return send_chunk(bytes, bytes < CHUNK_SIZE || remaining == 0);
}

int main(void) {
  if (getenv("NPC_FLOOR_NARROW") == NULL) {
    fcntl(0, F_SETPIPE_SZ, WIDE_PIPE);
    fcntl(1, F_SETPIPE_SZ, WIDE_PIPE);
  }
  size_t capacity = 1 << 20;
  char *body = malloc(capacity);
  frame = malloc(DIRECT_REPLY_LIMIT + 4);
  chunk = malloc(DIRECT_REPLY_LIMIT);
  if (body == NULL || frame == NULL || chunk == NULL) return 1;
  for (size_t i = 0; i < CHUNK_BASE64; ++i) chunk[10 + i] = ALPHABET[i % 64];
  int oneway = 0;
  for (;;) {
    unsigned char prefix[4];
    if (read_all((char *)prefix, 4) != 0) return 0;
    const uint32_t length = prefix[0] | (uint32_t)prefix[1] << 8 | (uint32_t)prefix[2] << 16 | (uint32_t)prefix[3] << 24;
    if (length == 0) return 0;
    if (length > capacity) {
      free(body);
      capacity = length;
      body = malloc(capacity);
      if (body == NULL) return 1;
    }
    if (read_all(body, length) != 0) return 0;
    char head[49];
    message_head(body, length, head);
    int failed = 0;
    if (starts(head, "reply:")) {
      remaining = strtoull(head + 6, NULL, 10);
      failed = send_next_chunk();
    } else if (starts(head, "stream:")) {
      remaining = strtoull(head + 7, NULL, 10);
      do failed = send_next_chunk(); while (!failed && remaining > 0);
    } else if (starts(head, ACK)) {
      failed = send_next_chunk();
    } else if (starts(head, "{\"part\":\"true\"")) {
      oneway = strstr(head, "oneway") != NULL;
      if (!oneway) failed = send_frame(ACK, sizeof ACK - 1);
    } else if (starts(head, "{\"part\":\"")) {
      if (!oneway) failed = send_frame(ACK, sizeof ACK - 1);
    } else {
      oneway = 0;
      failed = send_frame(SHORT_ANSWER, sizeof SHORT_ANSWER - 1);
    }
    if (failed) return 0;
  }
}
