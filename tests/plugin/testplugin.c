/* An encryption plug-in library for the tests, exporting the twelve functions of the
   plug-in interface with a trivial reversible cipher: every byte is XOR-ed with a key byte
   and with a counter that runs on per direction (so lost, repeated or reordered bytes show).

   Built in kinds (KEB_TESTPLUGIN_KIND):
     0  stream transform only (no per-connection objects); key from the password
        parameter ("KEBPasswordNeeded")
     1  per-connection objects that frame the cipher in records [length u8][bytes]
     2  as 1, integrated: plain until the challenge-response of security types 114/115
        has run, then keyed from the challenge and the password
   KEB_TESTPLUGIN_NO_CONFIG leaves out the "Config" export.

   The per-connection object follows the layout of DSMPluginApi.h (slot 0 the deleting
   destructor, the object first in every call). tests/rfbserver/rfboracle/plugin.py is the
   server side of the same cipher, written from this description. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "security/DSMPluginApi.h"

#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

#ifndef KEB_TESTPLUGIN_KIND
#define KEB_TESTPLUGIN_KIND 0
#endif

#define NAMES_0 "KEB test stream,1.0.0,01-02-2024,KEB tests,KEBTestStream.dsm"
#define NAMES_1 "KEB test channel,1.1.0,01-02-2024,KEB tests,KEBTestChannel.dsm"
#define NAMES_2 "KEB test integrated,1.2.0,01-02-2024,KEB tests,KEBTestAuth.dsm"

/* ---- the cipher ---- */

typedef struct {
  uint8_t key;
  uint32_t counter;
} Direction;

static uint8_t Step(Direction* d, uint8_t b) {
  uint8_t r = (uint8_t)(b ^ d->key ^ (uint8_t)(d->counter * 7u));
  d->counter++;
  return r;
}

static uint8_t KeyOf(const char* text, size_t n) {
  uint8_t k = 0x5A;
  size_t i;
  for (i = 0; i < n; i++) k = (uint8_t)(k + (uint8_t)text[i]);
  return k;
}

static unsigned char* Grow(unsigned char** buf, size_t* cap, size_t need) {
  if (need > *cap) {
    unsigned char* p = (unsigned char*)realloc(*buf, need);
    if (!p) return NULL;
    *buf = p;
    *cap = need;
  }
  return *buf;
}

/* ---- the library's own stream transform ---- */

static char g_params[300];
static Direction g_out, g_in;
static unsigned char* g_outBuf;
static size_t g_outCap;
static unsigned char* g_inBuf;
static size_t g_inCap;

EXPORT const char* Description(void) {
#if KEB_TESTPLUGIN_KIND == 0
  return NAMES_0;
#elif KEB_TESTPLUGIN_KIND == 1
  return NAMES_1;
#else
  return NAMES_2;
#endif
}

EXPORT int Startup(void) { return 0; }
EXPORT int Shutdown(void) { return 1; }
EXPORT int Reset(void) {
  memset(&g_out, 0, sizeof g_out);
  memset(&g_in, 0, sizeof g_in);
  return 1;
}

EXPORT int SetParams(void* owner, const char* text) {
  size_t n;
  (void)owner;
  if (!text || strncmp(text, "refuse", 6) == 0) return 0;
  strncpy(g_params, text, sizeof g_params - 1);
  /* The key is the text before ",viewer". */
  n = strcspn(g_params, ",");
  g_out.key = g_in.key = KeyOf(g_params, n);
  g_out.counter = g_in.counter = 0;
  return 1;
}

EXPORT const char* GetParams(void) { return KEB_TESTPLUGIN_KIND == 0 ? "KEBPasswordNeeded" : "NoPassword"; }

#ifndef KEB_TESTPLUGIN_NO_CONFIG
EXPORT int Config(void* owner, const char* text, int number, void* pointer) {
  (void)number;
  (void)pointer;
  return SetParams(owner, text);
}
#endif

EXPORT unsigned char* TransformBuffer(unsigned char* data, int length, int* outLength) {
  int i;
  if (length < 0 || !Grow(&g_outBuf, &g_outCap, (size_t)length + 1)) return NULL;
  for (i = 0; i < length; i++) g_outBuf[i] = Step(&g_out, data[i]);
  *outLength = length;
  return g_outBuf;
}

EXPORT unsigned char* RestoreBuffer(unsigned char* data, int length, int* outLength) {
  int i;
  if (length < 0 || !Grow(&g_inBuf, &g_inCap, (size_t)length + 1)) return NULL;
  if (!data) {
    *outLength = length;
    return g_inBuf;
  }
  for (i = 0; i < length; i++) data[i] = Step(&g_in, g_inBuf[i]);
  *outLength = length;
  return data;
}

EXPORT void FreeBuffer(unsigned char* buffer) {
  if (buffer == g_outBuf) {
    g_outBuf = NULL;
    g_outCap = 0;
  } else if (buffer == g_inBuf) {
    g_inBuf = NULL;
    g_inCap = 0;
  }
  free(buffer);
}

/* ---- per-connection objects ---- */

typedef struct {
  DSMPluginInterface base;
  int integrated;
  int ready; /* enciphering (always for kind 1) */
  Direction out, in;
  unsigned char* outBuf;
  size_t outCap;
  /* receiving: the raw bytes of the record being read, then the plain queue */
  unsigned char raw[256];
  int rawHave, rawWant;
  unsigned char* plain;
  size_t plainCap, plainHave;
  char password[256];
  int havePassword;
  unsigned char challenge[1024];
  int challengeLen;
  const char* error;
} TestObject;

static void* ObjDestroy(TestObject* o, unsigned int flags) {
  free(o->outBuf);
  free(o->plain);
  if (flags & 1) free(o);
  return o;
}

static unsigned char* ObjEncrypt(TestObject* o, unsigned char* data, int length, int* outLength) {
  int i, at = 0;
  if (length < 0) return NULL;
  if (!o->ready) {
    if (!Grow(&o->outBuf, &o->outCap, (size_t)length + 1)) return NULL;
    memcpy(o->outBuf, data, (size_t)length);
    *outLength = length;
    return o->outBuf;
  }
  if (!Grow(&o->outBuf, &o->outCap, (size_t)length + (size_t)length / 255 + 2)) return NULL;
  for (i = 0; i < length;) {
    int n = length - i > 255 ? 255 : length - i, j;
    o->outBuf[at++] = (unsigned char)n;
    for (j = 0; j < n; j++) o->outBuf[at++] = Step(&o->out, data[i + j]);
    i += n;
  }
  *outLength = at;
  return o->outBuf;
}

static unsigned char* ObjDecrypt(TestObject* o, unsigned char* data, int length, int* outLength) {
  if (length < 0) return NULL;
  if (!o->ready) {
    /* plain: the caller reads the bytes straight into the destination's stand-in */
    if (!data) {
      if (!Grow(&o->plain, &o->plainCap, (size_t)length + 1)) return NULL;
      *outLength = length;
      return o->plain;
    }
    memcpy(data, o->plain, (size_t)length);
    *outLength = length;
    return data;
  }
  if (!data) {
    if (o->plainHave >= (size_t)length) {
      *outLength = 0;
      return o->raw;
    }
    /* the next record: its length byte, then the rest of it */
    *outLength = o->rawWant == 0 ? 1 : o->rawWant - o->rawHave;
    return o->raw + o->rawHave;
  }
  /* what the caller read completes the length byte or the record */
  if (o->rawWant == 0 && o->plainHave < (size_t)length) {
    o->rawWant = 1 + o->raw[0];
    o->rawHave = 1;
    if (o->raw[0] == 0) {
      o->error = "empty record";
      return NULL;
    }
  } else if (o->plainHave < (size_t)length) {
    int j;
    o->rawHave = o->rawWant;
    if (!Grow(&o->plain, &o->plainCap, o->plainHave + 256)) return NULL;
    for (j = 1; j < o->rawWant; j++) o->plain[o->plainHave++] = Step(&o->in, o->raw[j]);
    o->rawHave = o->rawWant = 0;
  }
  if (o->plainHave < (size_t)length) {
    *outLength = -1;
    return data;
  }
  memcpy(data, o->plain, (size_t)length);
  memmove(o->plain, o->plain + length, o->plainHave - (size_t)length);
  o->plainHave -= (size_t)length;
  *outLength = length;
  return data;
}

static void ObjFreeBuffer(TestObject* o, unsigned char* buffer) {
  (void)o;
  free(buffer);
}

/* A challenge beginning with 'Q' is refused without a text (none at all), one beginning
   with 'E' with an empty text. */
static const char* ObjErrorText(TestObject* o) {
  if (o->challengeLen > 0 && o->challenge[0] == 'Q') return NULL;
  if (o->challengeLen > 0 && o->challenge[0] == 'E') return "";
  return o->error ? o->error : "Test plugin: no error";
}
static const char* ObjDescription(TestObject* o) { return o->ready ? "XOR test channel" : "plain"; }

static void ObjEncryptionReady(TestObject* o) {
  int i;
  uint8_t k = KeyOf(o->password, strlen(o->password));
  for (i = 0; i < o->challengeLen; i++) k ^= o->challenge[i];
  o->out.key = o->in.key = k;
  o->out.counter = o->in.counter = 0;
  o->plainHave = 0;
  o->ready = 1;
}

static void ObjUnused(TestObject* o) { (void)o; }

static void ObjSetPassword(TestObject* o, const unsigned char* key, int length) {
  if (!key || length <= 0) {
    o->password[0] = 0;
    o->havePassword = 0;
    return;
  }
  if (length > 255) length = 255;
  memcpy(o->password, key, (size_t)length);
  o->password[length] = 0;
  o->havePassword = 1;
}

/* A challenge is handled once a password is known, or at once when it begins with 'N'
   (no key needed). The plug-in takes long passwords; a challenge beginning with 'L' asks
   for short ones. */
static bool ObjTakeChallenge(TestObject* o, const unsigned char* data, int length, int round, bool* handled,
                             bool* longKeys) {
  (void)round;
  if (length <= 0 || length > (int)sizeof o->challenge) {
    o->error = "Test plugin: bad challenge";
    return false;
  }
  *longKeys = data[0] != 'L';
  if (data[0] == 'Q' || data[0] == 'E') {
    memcpy(o->challenge, data, (size_t)length);
    o->challengeLen = length;
    return false;
  }
  if (!o->havePassword && data[0] != 'N') {
    o->error = "Test plugin: password needed";
    *handled = false;
    return true;
  }
  memcpy(o->challenge, data, (size_t)length);
  o->challengeLen = length;
  *handled = true;
  return true;
}

/* The response: each challenge byte XOR-ed with the password (cycled; none without one)
   and the round. A challenge beginning with 'M' asks for a second round. */
static bool ObjMakeResponse(TestObject* o, unsigned char** out, int* outLength, int round, bool* more) {
  int i, n = o->challengeLen, pl = (int)strlen(o->password);
  unsigned char* r = (unsigned char*)malloc((size_t)n + 1);
  if (!r) return false;
  for (i = 0; i < n; i++)
    r[i] = (unsigned char)(o->challenge[i] ^ (pl ? (unsigned char)o->password[i % pl] : 0) ^ round);
  *out = r;
  *outLength = n;
  *more = o->challenge[0] == 'M' && round == 0;
  return true;
}

static const DSMSlot g_vtable[kDSMSlotCount] = {
    (DSMSlot)ObjDestroy,         (DSMSlot)ObjEncrypt,     (DSMSlot)ObjDecrypt,      (DSMSlot)ObjFreeBuffer,
    (DSMSlot)ObjErrorText,       (DSMSlot)ObjDescription, (DSMSlot)ObjEncryptionReady, (DSMSlot)ObjUnused,
    (DSMSlot)ObjUnused,          (DSMSlot)ObjUnused,      (DSMSlot)ObjUnused,       (DSMSlot)ObjSetPassword,
    (DSMSlot)ObjUnused,          (DSMSlot)ObjUnused,      (DSMSlot)ObjUnused,       (DSMSlot)ObjTakeChallenge,
    (DSMSlot)ObjMakeResponse,
};

static DSMPluginInterface* NewObject(int integrated) {
  TestObject* o = (TestObject*)calloc(1, sizeof *o);
  if (!o) return NULL;
  o->base.vtable = g_vtable;
  o->integrated = integrated;
  if (!integrated) {
    /* a plain per-connection object is keyed like the stream transform */
    o->out.key = o->in.key = KeyOf(g_params, strcspn(g_params, ","));
    o->ready = 1;
  }
  return &o->base;
}

EXPORT DSMPluginInterface* CreatePluginInterface(void) {
  return KEB_TESTPLUGIN_KIND >= 1 ? NewObject(0) : NULL;
}

EXPORT DSMPluginInterface* CreateIntegratedPluginInterface(void) {
  return KEB_TESTPLUGIN_KIND == 2 ? NewObject(1) : NULL;
}
