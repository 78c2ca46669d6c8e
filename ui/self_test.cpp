#include "ui/self_test.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "ui/frm_whorlgen.h"

namespace whorlgen::ui {

namespace {

void Print(const QString& line) {
  std::fputs(qPrintable(line + '\n'), stdout);
  std::fflush(stdout);
}

// The device libraries mapped into this process, read from the kernel's own
// list, so the answer is where the loader really found them.
QStringList LoadedDeviceLibraries() {
  QStringList paths;
  QFile maps(QStringLiteral("/proc/self/maps"));
  if (!maps.open(QIODevice::ReadOnly))
    return paths;
  for (const QByteArray& line : maps.readAll().split('\n')) {
    const QString path = QString::fromLocal8Bit(line.mid(line.indexOf('/')));
    const bool deviceLibrary = path.endsWith("/libEZAudDac.so") ||
                               path.endsWith("/libEasyLase.so") ||
                               path.endsWith("/libRiyaNetServer_stdcall.so");
    if (line.contains('/') && deviceLibrary && !paths.contains(path))
      paths << path;
  }
  return paths;
}

}  // namespace

int RunSelfTest(FrmWhorlgen& window, const QString& dacName, std::chrono::milliseconds duration) {
  window.RefreshDacList();
  auto* dacList = window.findChild<QListWidget*>("lstDACSelect");
  const QList<QListWidgetItem*> found = dacList->findItems(dacName, Qt::MatchExactly);
  if (found.isEmpty()) {
    Print(QStringLiteral("No DAC named \"%1\" is listed.").arg(dacName));
    return 2;
  }
  dacList->setCurrentItem(found.front());

  // Whatever the run tells the operator is printed and answered, so nothing waits for a hand.
  int messages = 0;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&messages] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box != nullptr && box->isVisible()) {
        Print(QStringLiteral("Message: ") + box->text());
        ++messages;
        box->done(QMessageBox::Ok);
      }
    }
  });
  answerer.start(50);

  auto* start = window.findChild<QPushButton*>("cmdStart");
  auto* stop = window.findChild<QPushButton*>("cmdStop");
  QEventLoop untilEnded;
  QObject::connect(&window, &FrmWhorlgen::RunFinished, &untilEnded, &QEventLoop::quit);
  QTimer::singleShot(duration, stop, [stop] { stop->click(); });
  start->click();
  if (window.Loop.InRun())
    untilEnded.exec();

  Print(QStringLiteral("Frames sent to %1: %2").arg(dacName).arg(window.TotalFrames()));
  for (const QString& path : LoadedDeviceLibraries())
    Print(QStringLiteral("Device library: ") + path);
  return window.TotalFrames() > 0 && messages == 0 ? 0 : 1;
}

}  // namespace whorlgen::ui
