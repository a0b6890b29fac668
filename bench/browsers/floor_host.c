/* The floor of the browser benchmark: a native host that does no work but answer, each message
 * with one of the size the project's host sends, so that the time left is the browsers' own cost
 * of carrying the bytes. The first character inside the message's quotes says what to answer:
 * R<n> the first chunk of a reply of n bytes, M the next chunk, P an acknowledgement (a start or
 * a piece), L the short answer to a last piece; anything else a short answer. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { CHUNK_SIZE = 786423, CHUNK_BASE64 = 1048564, DIRECT_REPLY_LIMIT = 1048576 };

static const char ACK[] = "{\"more\":\"more\"}";
/* As long as the benchmark library's answer to a request of some MiB. */
static const char SHORT_ANSWER[] = "{\"length\":33554432,\"checksum\":\"0123456789abcdef\"}";

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
static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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

int main(void) {
  size_t capacity = 1 << 20, remaining = 0;
  char *body = malloc(capacity);
  frame = malloc(DIRECT_REPLY_LIMIT + 4);
  chunk = malloc(DIRECT_REPLY_LIMIT);
  if (body == NULL || frame == NULL || chunk == NULL) return 1;
  for (size_t i = 0; i < CHUNK_BASE64; ++i) chunk[10 + i] = ALPHABET[i % 64];
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
    const char kind = length >= 2 ? body[1] : 0;
    int failed;
    if (kind == 'R' || kind == 'M') {
      if (kind == 'R') remaining = strtoull(body + 2, NULL, 10);
      const size_t bytes = remaining < CHUNK_SIZE ? remaining : CHUNK_SIZE;
      failed = send_chunk(bytes, bytes < CHUNK_SIZE);
      remaining -= bytes;
    } else if (kind == 'P') {
      failed = send_frame(ACK, sizeof ACK - 1);
    } else {
      failed = send_frame(SHORT_ANSWER, sizeof SHORT_ANSWER - 1);
    }
    if (failed) return 0;
  }
}
