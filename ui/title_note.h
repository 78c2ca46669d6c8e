#pragma once
// A short note after the window's title while a run lasts ("Whorlgen — no
// sound card: nothing is heard"): the operator learns it without a box that
// would stop the run. The note goes when the run ends.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <string>

class QWidget;

namespace whorlgen::ui {

class TitleNote : public QObject {
  Q_OBJECT

 public:
  // `note` gives the note now, empty when there is none (or no run). The
  // window's title at construction is the title without a note.
  TitleNote(QWidget* window, std::function<std::string()> note);

  void Update();

 private:
  QWidget* window_;
  QString plainTitle_;
  std::function<std::string()> note_;
  QTimer timer_;
};

}  // namespace whorlgen::ui
