#include "ui/quit_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace whorlgen::ui {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the self-pipe: all a handler may safely touch.
volatile std::sig_atomic_t gWriteFd = -1;
int gReadFd = -1;

void OnQuitSignal(int signalNumber) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a signal waiting to be seen; dropping this one loses nothing.
  [[maybe_unused]] const ssize_t written = write(gWriteFd, &byte, 1);
  errno = savedErrno;
}

void SetHandler(int signalNumber, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("whorlgen: signals will end the program at once");
    return;
  }
  gReadFd = fds[0];
  gWriteFd = fds[1];
  notifier_ = new QSocketNotifier(gReadFd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::Drain);
  for (const int signalNumber : kQuitSignals)
    SetHandler(signalNumber, OnQuitSignal);
}

QuitSignals::~QuitSignals() {
  if (notifier_ == nullptr)
    return;
  for (const int signalNumber : kQuitSignals)
    SetHandler(signalNumber, SIG_DFL);
  close(gWriteFd);
  gWriteFd = -1;
  close(gReadFd);
  gReadFd = -1;
}

void QuitSignals::Drain() {
  unsigned char byte = 0;
  while (read(gReadFd, &byte, 1) == 1)
    onSignal_(byte);
}

void IgnoreFileSizeSignal() {
  SetHandler(SIGXFSZ, SIG_IGN);
}

}  // namespace whorlgen::ui
