#include "base/digest.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "base/sync.h"
#include "win32/modules.h"

namespace Kx {

struct Md5Functions {
  using InitProc = void (*)(win32::MD5_CTX*);
  using UpdateProc = void (*)(win32::MD5_CTX*, const unsigned char*, unsigned int);
  using FinalProc = void (*)(win32::MD5_CTX*);
  InitProc init = nullptr;
  UpdateProc update = nullptr;
  FinalProc final = nullptr;
};

namespace {

constexpr char16_t kCryptLibrary[] = u"Cryptdll.dll";

// Filled once, under the load lock, before it is published; never changed afterwards.
Md5Functions g_loaded;
// Null until the library is loaded; then &g_loaded.
std::atomic<const Md5Functions*> g_published{nullptr};
const Md5Functions kNone;

template <typename T>
T ProcAs(win32::HMODULE module, const char* name) {
  return reinterpret_cast<T>(win32::GetProcAddress(module, name));
}

const Md5Functions* LoadMd5Functions() {
  if (const Md5Functions* loaded = g_published.load(std::memory_order_acquire)) return loaded;
  static KxCriticalSection load_lock;  // made on first use, thread-safely
  KxAutoLock guard(&load_lock);
  if (const Md5Functions* loaded = g_published.load(std::memory_order_relaxed)) return loaded;
  win32::HMODULE module = win32::LoadLibraryW(kCryptLibrary);
  if (!module) return &kNone;
  g_loaded.init = ProcAs<Md5Functions::InitProc>(module, "MD5Init");
  g_loaded.update = ProcAs<Md5Functions::UpdateProc>(module, "MD5Update");
  g_loaded.final = ProcAs<Md5Functions::FinalProc>(module, "MD5Final");
  g_published.store(&g_loaded, std::memory_order_release);
  return &g_loaded;
}

}  // namespace

KxMd5::KxMd5() : functions_(LoadMd5Functions()) {}

void KxMd5::Init() {
  if (functions_->init) functions_->init(&context_);
}

void KxMd5::Update(const void* data, size_t count) {
  if (!functions_->update) return;
  // The system function counts in 32 bits; larger inputs go in pieces.
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const unsigned int piece = static_cast<unsigned int>(std::min<size_t>(count, UINT_MAX));
    functions_->update(&context_, bytes, piece);
    bytes += piece;
    count -= piece;
  }
}

int KxMd5::Final(unsigned char out[16]) {
  if (!functions_->final) return 0;
  functions_->final(&context_);
  std::copy(context_.digest, context_.digest + sizeof(context_.digest), out);
  return 16;
}

std::u16string Md5Hex(const void* data, size_t size) {
  KxMd5 md5;
  md5.Init();
  md5.Update(data, size);
  unsigned char digest[16] = {};
  md5.Final(digest);
  return DigestToHex(digest);
}

std::u16string DigestToHex(const unsigned char digest[16]) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text;
  text.reserve(32);
  for (int i = 0; i < 16; ++i) {
    text.push_back(kDigits[digest[i] >> 4]);
    text.push_back(kDigits[digest[i] & 15]);
  }
  return text;
}

}  // namespace Kx
