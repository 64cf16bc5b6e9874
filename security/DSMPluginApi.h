/* The interface of an encryption plug-in library ("*.dsm"): the twelve functions it
   exports and the layout of the per-connection object it hands out. Plain C, so that a
   plug-in written in C can include it too.

   The per-connection object is a C++ object of the compiler the plug-ins are built with
   (Microsoft's x64 ABI): its first member points at a table of functions, each taking the
   object first. Slot 0 is the deleting destructor (flags bit 0: free the memory). The
   viewer calls only the slots named below; the others exist and are never used. */
#ifndef KEB_DSM_PLUGIN_API_H
#define KEB_DSM_PLUGIN_API_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct DSMPluginInterface DSMPluginInterface;
typedef void (*DSMSlot)(void);
struct DSMPluginInterface {
  const DSMSlot* vtable;
};

/* Slots of the per-connection object's function table. */
enum {
  kDSMSlotDestroy = 0,          /* void* (self, unsigned int flags) */
  kDSMSlotEncrypt = 1,          /* unsigned char* (self, unsigned char* data, int length, int* outLength) */
  kDSMSlotDecrypt = 2,          /* unsigned char* (self, unsigned char* data, int length, int* outLength) */
  kDSMSlotFreeBuffer = 3,       /* void (self, unsigned char* buffer) */
  kDSMSlotErrorText = 4,        /* const char* (self) */
  kDSMSlotDescription = 5,      /* const char* (self) */
  kDSMSlotEncryptionReady = 6,  /* void (self) */
  kDSMSlotSetPassword = 11,     /* void (self, const unsigned char* key or NULL, int length) */
  kDSMSlotTakeChallenge = 15,   /* bool (self, const unsigned char* data, int length, int round,
                                         bool* handled, bool* longKeys) */
  kDSMSlotMakeResponse = 16,    /* bool (self, unsigned char** out, int* outLength, int round,
                                         bool* moreRounds) */
  kDSMSlotCount = 17
};

/* The exported functions, by name. */
typedef const char* (*DSMDescriptionFn)(void);                 /* "Description" */
typedef int (*DSMStartupFn)(void);                             /* "Startup": >= 0 ok */
typedef int (*DSMShutdownFn)(void);                            /* "Shutdown": non-zero: may be unloaded */
typedef int (*DSMSetParamsFn)(void* owner, const char* text);  /* "SetParams": > 0 ok */
typedef const char* (*DSMGetParamsFn)(void);                   /* "GetParams" */
typedef unsigned char* (*DSMTransformBufferFn)(unsigned char* data, int length, int* outLength);
typedef unsigned char* (*DSMRestoreBufferFn)(unsigned char* data, int length, int* outLength);
typedef void (*DSMFreeBufferFn)(unsigned char* buffer);
typedef int (*DSMResetFn)(void);
typedef DSMPluginInterface* (*DSMCreatePluginInterfaceFn)(void);
typedef DSMPluginInterface* (*DSMCreateIntegratedPluginInterfaceFn)(void);
/* "Config": owner window or NULL, parameter text, a number and a pointer passed through; > 0 ok */
typedef int (*DSMConfigFn)(void* owner, const char* text, int number, void* pointer);

#ifdef __cplusplus
}
#endif

#endif
