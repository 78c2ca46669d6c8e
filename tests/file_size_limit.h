#pragma once
// Lowers the file size limit while it lives, with SIGXFSZ ignored: a write
// beyond the limit fails with EFBIG, as one on a full disk fails with ENOSPC.

#include <csignal>

#include <sys/resource.h>

namespace whorlgen {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*savedHandler_)(int) = nullptr;
};

}  // namespace whorlgen
