// The main of the benchmarks that run the window: Qt's offscreen platform
// unless a display is asked for, the panel's own style, scans that ask this
// machine only, and a settings folder of their own, never the operator's.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QStyleFactory>
#include <QTemporaryDir>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1");
  const QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
