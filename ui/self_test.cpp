#include "ui/self_test.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/dac_directory.h"
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

bool Listed(const FrmWhorlgen& window, const std::string& name) {
  const std::vector<std::string> names = window.ListedDacNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Devices are found by their own announcements or by a scan: both take a
// moment after the start, so a DAC not listed yet is waited for.
bool WaitUntilListed(FrmWhorlgen& window, const std::string& name, std::chrono::milliseconds wait) {
  if (Listed(window, name))
    return true;
  window.Dacs().Directory().RequestScan();
  QEventLoop waiting;
  QObject::connect(&window, &FrmWhorlgen::DacListChanged, &waiting, [&] {
    if (Listed(window, name))
      waiting.quit();
  });
  QTimer::singleShot(wait, &waiting, &QEventLoop::quit);
  waiting.exec();
  return Listed(window, name);
}

}  // namespace

int RunSelfTest(FrmWhorlgen& window, const QString& dacName, std::chrono::milliseconds duration,
                std::chrono::milliseconds discoveryWait) {
  if (!WaitUntilListed(window, dacName.toStdString(), discoveryWait) ||
      !window.ChooseDac(dacName.toStdString())) {
    QStringList listed;
    for (const std::string& name : window.ListedDacNames())
      listed << QStringLiteral("\"%1\"").arg(QString::fromStdString(name));
    Print(QStringLiteral("No DAC named \"%1\" is listed after %2 s of looking. Listed: %3.")
              .arg(dacName)
              .arg(static_cast<double>(discoveryWait.count()) / 1000.0)
              .arg(listed.join(", ")));
    return 2;
  }

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
