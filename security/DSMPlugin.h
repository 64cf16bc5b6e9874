// Encryption plug-in libraries ("*.dsm" in the program's folder): loading one (optionally
// from a temporary copy), its description, its stream transform and the per-connection
// objects it hands out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "security/DSMPluginApi.h"
#include "security/IPlugin.h"

// What loading a library needs of the platform.
class PluginLibrarySystem {
public:
  virtual ~PluginLibrarySystem() = default;
  // A library by name (the normal library search) or by path; nullptr when it fails.
  virtual void* Load(const std::string& nameOrPath) = 0;
  virtual void* Resolve(void* library, const char* name) = 0;
  virtual void Free(void* library) = 0;
  // Folders, each ending in a separator; "" when unknown.
  virtual std::string ProgramFolder() = 0;
  virtual std::string TempFolder() = 0;
  // Copies a file, replacing an older copy; false when the target cannot be written.
  virtual bool CopyFileTo(const std::string& from, const std::string& to) = 0;
  virtual void RemoveFile(const std::string& path) = 0;
  // The names of the files in a folder that end in `suffix` (compared without case).
  virtual std::vector<std::string> FilesEndingIn(const std::string& folder, const char* suffix) = 0;
};

// The platform's loader (Win32 in the product).
PluginLibrarySystem& DefaultPluginLibrarySystem();

// True when the file is a 64-bit x86 Windows library: "MZ", and at the offset stored at
// 0x3C the PE signature and machine 0x8664.
bool IsPluginDllX64(const std::string& path);

class CDSMPlugin {
public:
  static constexpr std::size_t kNameSize = 128, kVersionSize = 16, kDateSize = 16, kAuthorSize = 64,
                               kFileNameSize = 128;

  explicit CDSMPlugin(PluginLibrarySystem& sys = DefaultPluginLibrarySystem());
  virtual ~CDSMPlugin();
  CDSMPlugin(const CDSMPlugin&) = delete;
  CDSMPlugin& operator=(const CDSMPlugin&) = delete;

  // Loads the library of that file name and resolves its twelve exports; with
  // useTempCopy it is loaded from a numbered copy in the temp folder. A library of the
  // wrong architecture is refused with an error box.
  bool LoadPlugin(const char* fileName, bool useTempCopy);
  // Frees the remembered buffers and calls Shutdown; the library is unloaded (and its
  // temporary copy deleted) only when Shutdown agrees. True when it was unloaded.
  bool UnloadPlugin();
  // The library's description text (nullptr when it gives none), its five fields split
  // into the description; "No Plugin loaded" without a library.
  const char* DescribePlugin();
  bool Startup();
  const char* GetParams();
  // Config when the library has it, else SetParams; true when it answers > 0.
  bool Configure(void* owner, const char* text, int number, void* pointer);
  void SetEnabled(bool enabled) { m_enabled = enabled; }
  bool IsEnabled() const { return m_enabled; }
  bool IsLoaded() const { return m_loaded; }

  // The library's stream transform. TransformBuffer runs under the transform lock.
  std::uint8_t* TransformBuffer(const std::uint8_t* data, int length, int* outLength);
  // The library's buffer into which the caller reads *outLength enciphered bytes.
  std::uint8_t* RestoreBufferPrepare(int length, int* outLength);
  // Restores into destination; *outLength < 0 asks the caller to repeat.
  std::uint8_t* RestoreBuffer(std::uint8_t* destination, int length, int* outLength);

  bool SupportsPluginInterface() const { return m_exports.createInterface != nullptr; }
  bool SupportsIntegratedInterface() const { return m_exports.createIntegrated != nullptr; }
  DSMPluginInterface* CreatePluginInterface();
  DSMPluginInterface* CreateIntegratedPluginInterface();

  // Adds every "*.dsm" file of the program's folder to the list; returns the count.
  int ListPlugins(std::vector<std::string>& names);

  const std::string& Name() const { return m_name; }
  const std::string& Version() const { return m_version; }
  const std::string& Date() const { return m_date; }
  const std::string& Author() const { return m_author; }
  const std::string& FileName() const { return m_fileName; }
  const std::string& TempCopyPath() const { return m_tempCopy; }

private:
  struct DSMPluginExports {
    DSMDescriptionFn description = nullptr;
    DSMStartupFn startup = nullptr;
    DSMShutdownFn shutdown = nullptr;
    DSMSetParamsFn setParams = nullptr;
    DSMGetParamsFn getParams = nullptr;
    DSMTransformBufferFn transformBuffer = nullptr;
    DSMRestoreBufferFn restoreBuffer = nullptr;
    DSMFreeBufferFn freeBuffer = nullptr;
    DSMResetFn reset = nullptr;
    DSMCreatePluginInterfaceFn createInterface = nullptr;
    DSMCreateIntegratedPluginInterfaceFn createIntegrated = nullptr;
    DSMConfigFn config = nullptr;
  };
  bool ResolveExports();
  void DropLibrary();

  PluginLibrarySystem& m_sys;
  std::mutex m_lock;           // the library's state
  std::mutex m_transformLock;  // TransformBuffer
  bool m_loaded = false;
  bool m_enabled = false;
  std::string m_name = "Unknown", m_version = "0.0.0", m_date = "12-12-2002", m_author = "Someone",
              m_fileName = "Plugin.dsm";
  void* m_library = nullptr;
  std::string m_tempCopy;  // "" when none
  std::string m_libraryName;  // the file name m_library was loaded for
  DSMPluginExports m_exports;
  std::uint8_t* m_lastTransformed = nullptr;
  std::uint8_t* m_lastRestored = nullptr;
};

// The library's stream transform as a channel.
class DSMPluginStream : public IPlugin {
public:
  explicit DSMPluginStream(CDSMPlugin& plugin) : m_plugin(plugin) {}
  std::uint8_t* Encrypt(const std::uint8_t* data, int length, int* outLength) override {
    return m_plugin.TransformBuffer(data, length, outLength);
  }
  std::uint8_t* Decrypt(std::uint8_t* data, int length, int* outLength) override {
    return data ? m_plugin.RestoreBuffer(data, length, outLength) : m_plugin.RestoreBufferPrepare(length, outLength);
  }

private:
  CDSMPlugin& m_plugin;
};

// A per-connection object of a plug-in library, owned (destroyed through its slot 0).
// Its first three slots make it a channel; the integrated kind also runs the plug-in
// challenge-response schemes.
class DSMPluginChannel : public IPlugin {
public:
  explicit DSMPluginChannel(DSMPluginInterface* object) : m_object(object) {}
  ~DSMPluginChannel() override;
  DSMPluginChannel(const DSMPluginChannel&) = delete;
  DSMPluginChannel& operator=(const DSMPluginChannel&) = delete;

  std::uint8_t* Encrypt(const std::uint8_t* data, int length, int* outLength) override;
  std::uint8_t* Decrypt(std::uint8_t* data, int length, int* outLength) override;
  void FreeBuffer(std::uint8_t* buffer);
  const char* ErrorText() const override;
  const char* Description() override;
  void EncryptionReady();
  void SetPassword(const char* text, int length);
  bool TakeChallenge(const std::uint8_t* data, int length, int round, bool* handled, bool* longKeys);
  bool MakeResponse(std::uint8_t** out, int* outLength, int round, bool* moreRounds);

private:
  DSMPluginInterface* m_object;
};
