#include "ui/title_note.h"

#include <QWidget>

namespace whorlgen::ui {

namespace {
// Often enough to follow a run's start and end, rarely enough to cost nothing.
constexpr int kCheckIntervalMs = 250;
}  // namespace

TitleNote::TitleNote(QWidget* window, std::function<std::string()> note)
    : QObject(window), window_(window), plainTitle_(window->windowTitle()), note_(std::move(note)) {
  connect(&timer_, &QTimer::timeout, this, &TitleNote::Update);
  timer_.start(kCheckIntervalMs);
}

void TitleNote::Update() {
  const std::string note = note_();
  const QString title =
      note.empty() ? plainTitle_
                   : plainTitle_ + QString::fromUtf8(" \u2014 ") + QString::fromStdString(note);
  if (window_->windowTitle() != title)
    window_->setWindowTitle(title);
}

}  // namespace whorlgen::ui
