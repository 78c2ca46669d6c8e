#include "ui/title_note.h"

#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>

namespace whorlgen::ui {

TitleNote::TitleNote(QMainWindow* window)
    : QObject(window), window_(window), plainTitle_(window->windowTitle()) {
  corner_ = new QLabel(window->menuBar());
  corner_->setObjectName("lblStatusNote");
  corner_->setTextFormat(Qt::PlainText);
  // Bold and a little apart from the menu's items, so it reads as a warning
  // rather than one more item.
  QFont font = corner_->font();
  font.setBold(true);
  corner_->setFont(font);
  corner_->setContentsMargins(8, 0, 8, 0);
  corner_->hide();
  window->menuBar()->setCornerWidget(corner_, Qt::TopRightCorner);
}

void TitleNote::Show(const std::string& note) {
  const QString text = QString::fromStdString(note);
  const QString title =
      text.isEmpty() ? plainTitle_ : plainTitle_ + QString::fromUtf8(" \u2014 ") + text;
  if (window_->windowTitle() != title)
    window_->setWindowTitle(title);
  corner_->setText(text);
  corner_->setVisible(!text.isEmpty());
}

QString TitleNote::Text() const {
  return corner_->text();
}

}  // namespace whorlgen::ui
