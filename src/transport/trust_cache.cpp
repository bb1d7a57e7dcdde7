// Parsed trust stores shared between requests.
//
// Parsing the system bundle (about 145 certificates) costs some 20 ms of CPU, twenty times a
// whole handshake on loopback, and a push wait asks for it every second. So the stores parsed
// from CA files are kept in a few slots, one per path, the least recently used replaced, and
// each new TLS context takes a reference of its own (SSL_CTX_set1_cert_store); a store evicted
// while a request still verifies with it lives on until that request lets it go.
//
// Nothing stale is ever used: every request opens the file and reads its identity with fstat
// (device, inode, size, modification and change times). A slot is used only when its path and
// identity are both equal; otherwise the file is parsed afresh from that same descriptor, so
// the identity a store is kept under is that of the bytes it was parsed from. Replacing,
// rewriting, removing or hiding the file therefore takes effect at the very next request.
// Timestamps are only as fine as the kernel's tick (or the filesystem's second), so a file
// changed twice within one tick could keep every field of its identity; a store whose file
// changed too recently for that to be ruled out serves its own request but is not kept.
//
// A kept store is complete before it is shared and never changed afterwards (OpenSSL guards its
// own lookups), so the mutex covers only the slots: no parsing or allocation happens under it.
// The slots are plain static storage; a destructor function releases them when the host unloads
// the module.
#include "transport/trust_cache.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/own.h"

namespace zv::transport {
namespace {

using FilePtr = UniquePtr<FILE>;

struct FreeInfos {
  void operator()(STACK_OF(X509_INFO) * infos) const noexcept {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
  }
};
using InfosPtr = std::unique_ptr<STACK_OF(X509_INFO), FreeInfos>;

struct FileId {
  dev_t dev;
  ino_t ino;
  off_t size;
  timespec mtime;
  timespec ctime;
};

bool same_time(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const FileId &a, const FileId &b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime) &&
         same_time(a.ctime, b.ctime);
}

// True when the file's change time lies far enough before `now` (the kernel's coarse clock,
// read before the identity was taken) that any later change must give it another one. A change
// time on a whole millisecond suggests a filesystem that keeps seconds (or two) only.
bool settled(const timespec &changed, const timespec &now) {
  constexpr long long kNs = 1000000000LL;
  const long long margin = changed.tv_nsec % 1000000 == 0 ? 2 * kNs : kNs / 20;
  const long long age = (static_cast<long long>(now.tv_sec) - changed.tv_sec) * kNs +
                        (static_cast<long long>(now.tv_nsec) - changed.tv_nsec);
  return age >= margin;
}

struct Slot {
  char *path; // null: the slot is free
  FileId id;
  X509_STORE *store; // the slot's own reference
  int count;
  unsigned long long used; // stamp of the last use, for replacing the least recently used
};

constexpr int kSlots = 4;
Slot slots[kSlots];
unsigned long long use_clock;
pthread_mutex_t slots_lock = PTHREAD_MUTEX_INITIALIZER;

// The certificates among the store's objects (CRLs are not counted).
int count_certificates(X509_STORE *store) {
  int count = 0;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); i++)
    if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509) count++;
  return count;
}

// Every certificate of the file is an anchor: a file holding only the issuing intermediate, or
// the server's own certificate, is enough.
X509_STORE *new_store() {
  StorePtr store(X509_STORE_new());
  if (!store || X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1) return nullptr;
  return store.release();
}

// OpenSSL's own loading by path, for what cannot be kept (a file that cannot be opened, or that
// is not a regular file): it fails, or succeeds, exactly as a fresh load.
X509_STORE *load_by_path(const char *path, int *count) {
  StorePtr store(new_store());
  if (!store || X509_STORE_load_file(store.get(), path) != 1) return nullptr;
  *count = count_certificates(store.get());
  return store.release();
}

// What X509_STORE_load_file does with a PEM file, read from the descriptor already opened, with
// the same errors queued when it fails.
X509_STORE *load_from_file(FILE *file, int *count) {
  UniquePtr<BIO> in(BIO_new_fp(file, BIO_NOCLOSE));
  if (!in) {
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
    return nullptr;
  }
  // An empty passphrase, as OpenSSL's loader gives: an encrypted block must never prompt.
  char no_passphrase[] = "";
  InfosPtr infos(
      PEM_X509_INFO_read_bio_ex(in.get(), nullptr, nullptr, no_passphrase, nullptr, nullptr));
  if (!infos) {
    ERR_raise(ERR_LIB_X509, ERR_R_PEM_LIB);
    return nullptr;
  }
  StorePtr store(new_store());
  if (!store) return nullptr;
  int found = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); i++) {
    const X509_INFO *info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 != nullptr) {
      if (X509_STORE_add_cert(store.get(), info->x509) != 1) return nullptr;
      found++;
    }
    if (info->crl != nullptr) {
      if (X509_STORE_add_crl(store.get(), info->crl) != 1) return nullptr;
      found++;
    }
  }
  if (found == 0) {
    ERR_raise(ERR_LIB_X509, X509_R_NO_CERTIFICATE_OR_CRL_FOUND);
    return nullptr;
  }
  *count = count_certificates(store.get());
  return store.release();
}

// A new reference to the kept store of this path and identity, or null.
X509_STORE *find_kept(const char *path, const FileId &id, int *count) {
  X509_STORE *found = nullptr;
  pthread_mutex_lock(&slots_lock);
  for (Slot &slot : slots) {
    if (slot.path == nullptr || std::strcmp(slot.path, path) != 0) continue;
    if (same_file(slot.id, id) && X509_STORE_up_ref(slot.store) == 1) {
      slot.used = ++use_clock;
      *count = slot.count;
      found = slot.store;
    }
    break; // one slot per path
  }
  pthread_mutex_unlock(&slots_lock);
  return found;
}

// Keeps a reference to `store` under the path and identity, in the path's own slot, else a free
// one, else the least recently used. Keeping is an optimisation: when it fails nothing changes.
void keep(const char *path, const FileId &id, X509_STORE *store, int count) {
  HeapPtr<char> copy(strdup(path));
  if (!copy || X509_STORE_up_ref(store) != 1) return;
  pthread_mutex_lock(&slots_lock);
  // A free slot ranks below any used one.
  auto rank = [](const Slot &slot) { return slot.path == nullptr ? 0 : slot.used; };
  Slot *target = &slots[0];
  for (Slot &slot : slots) {
    if (slot.path != nullptr && std::strcmp(slot.path, path) == 0) {
      target = &slot;
      break;
    }
    if (rank(slot) < rank(*target)) target = &slot;
  }
  const Slot old = *target;
  *target = Slot{copy.release(), id, store, count, ++use_clock};
  pthread_mutex_unlock(&slots_lock);
  std::free(old.path);
  X509_STORE_free(old.store); // the last reference only when no request still holds one
}

// Runs when the host unloads the module (and at exit). At exit OpenSSL may already have been
// torn down by its own atexit handler, which runs first; its objects must not be touched then,
// and the process takes their memory with it.
__attribute__((destructor)) void release_kept_stores() {
  pthread_mutex_lock(&slots_lock);
  bool any = false;
  for (const Slot &slot : slots) any = any || slot.path != nullptr;
  if (any && OPENSSL_init_crypto(0, nullptr) == 1) {
    for (Slot &slot : slots) {
      std::free(slot.path);
      X509_STORE_free(slot.store);
      slot = Slot{};
    }
  }
  pthread_mutex_unlock(&slots_lock);
}

} // namespace

X509_STORE *acquire_trust_store(const char *path, int *count) {
  *count = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  // Non-blocking, so that opening a FIFO cannot hang here; it has no effect on a regular file.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  FilePtr file(fd >= 0 ? fdopen(fd, "r") : nullptr);
  if (fd >= 0 && !file) close(fd);
  struct stat st {};
  if (!file || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return load_by_path(path, count);

  const FileId id{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  X509_STORE *kept = find_kept(path, id, count);
  if (kept != nullptr) return kept;
  StorePtr store(load_from_file(file.get(), count));
  if (!store) return nullptr;
  if (settled(id.ctime, now)) keep(path, id, store.get(), *count);
  return store.release();
}

} // namespace zv::transport
