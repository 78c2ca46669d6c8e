#pragma once
// A short note for the operator while a run lasts ("no sound card: nothing is
// heard", "beam guard: output blanked"): after the window's title, and in the
// menu bar's right-hand corner, where a full-screen or kiosk set-up that
// shows no title still shows it. No box that would need an answer; the note
// goes when the run ends. The client area below the menu bar is untouched.

#include <QObject>
#include <QString>
#include <string>

class QLabel;
class QMainWindow;

namespace whorlgen::ui {

class TitleNote : public QObject {
  Q_OBJECT

 public:
  // The window's title at construction is the title without a note.
  explicit TitleNote(QMainWindow* window);

  // Empty takes the note away.
  void Show(const std::string& note);
  QString Text() const;

 private:
  QMainWindow* window_;
  QString plainTitle_;
  QLabel* corner_ = nullptr;
};

}  // namespace whorlgen::ui
