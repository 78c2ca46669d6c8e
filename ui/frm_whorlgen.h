#pragma once
// The one window of the program: the control panel. It owns every piece of
// state for its lifetime and holds the behaviour as event handlers.

#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/command.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_catalog.h"
#include "output/dac_driver.h"
#include "output/device_library.h"
#include "output/ilda_writer.h"
#include "output/run_loop.h"
#include "preview/rasteriser.h"
#include "ui/show_setup.h"

class QAction;
class QCheckBox;
class QLabel;
class QMessageBox;
class QListWidget;
class QPushButton;

namespace whorlgen::preview {
class PreviewSurface;
}

namespace whorlgen::ui {

class DacDirectory;
class DevicesWindow;
class PanelScrollBar;
class ProjectionWindow;
class TitleNote;

class FrmWhorlgen : public QMainWindow, private output::RunHost {
  Q_OBJECT

 public:
  // Builds the controls and runs Form_Load, so the panel stands at its
  // start-up values before the user can act. The device libraries and the
  // directory of DACs are the program's (see Application) and outlive it.
  FrmWhorlgen(output::DeviceLibraries& libraries, DacDirectory& dacs, QWidget* parent = nullptr);

  // The state record. The scroll bar handlers are the only writers of Params.
  engine::PatternParameters Params;
  engine::GeneratorState Generator;
  engine::FrameData Frame;
  output::IldaWriter Ilda;
  output::DacState Dac;
  output::DeviceLibraries& Libraries;  // loaded at first use, kept for the program's life
  preview::PreviewRenderer Preview;
  std::int32_t PreviewWidth = 0;  // inner size of picPreview in pixels, read once at load
  std::int32_t PreviewHeight = 0;
  // The runs: Start, Stop, the frames and the closing of the window.
  output::RunLoop Loop{*this, {Params, Generator, Frame, Ilda, Dac, Libraries}};

  // The DACs beyond the three library ones, listed after them: the device
  // directory, which owns their discovery.
  DacDirectory& Dacs() const { return dacs_; }

  bool Running() const { return Loop.Running(); }
  std::int32_t TotalFrames() const { return Loop.TotalFrames(); }
  // Text of the selected DAC list item.
  const std::string& DacName() const { return Loop.DacName; }

  // The controls that no handler serves, read where they are needed.
  int SelectedOpMode() const;  // 1..6; 0 when nothing is selected
  bool LimitVelocityChecked() const;
  bool ShowDotsChecked() const;
  bool IldaOutChecked() const;

  // Lists "SoundCard", "EZLase", "RIYA" and then every device of the
  // directory's latest snapshot, each under a text that fits the list and
  // tells it apart, its full name and state in its tooltip. The chosen DAC
  // stays chosen: when it is no longer listed it stays in the list, greyed,
  // and Start says it is missing instead of playing elsewhere.
  void RefreshDacList();
  // Picks the listed DAC of that name (a device's full name) for the next
  // run, as a click on it would; false during a run or for a name not listed.
  bool ChooseDac(const std::string& name);
  // The names of every DAC in the list, in its order.
  std::vector<std::string> ListedDacNames() const;
  // The Devices window; each kind of equipment adds its page to it.
  DevicesWindow* Devices() const { return devices_; }
  // The projection view of what goes to the DAC.
  ProjectionWindow* Projection() const { return projection_; }
  // The further outputs that play beside the panel's DAC, and the last show.
  const ShowSetup& Show() const { return show_; }
  // Keeps them for the next Start (and in the settings file: empty, or why
  // it cannot be written); the window's note counts the projectors.
  QString SetFurtherOutputs(std::vector<std::string> names);

  // SIGTERM, SIGINT or SIGHUP: as closing the window, except that what the
  // run's end has to say goes to standard error instead of a box nobody may
  // be there to answer; then the program ends.
  void EndOnSignal(int signalNumber);

  // The door for remote surfaces (MIDI, OSC, presets): each call acts as the
  // operator would on the control, so its handler runs as for a hand on it.
  std::vector<control::BarRange> BarRanges() const;  // the fourteen bars
  int BarPosition(const std::string& name) const;    // 0 for an unknown name
  // Moves the bar (taken to its nearer end); its Change handler runs when
  // the position differs. False for an unknown name.
  bool SetBarPosition(const std::string& name, int position);
  void SetOpMode(int mode);  // 1..6
  enum class Check { LimitVelocity, ShowDots, IldaOutput };
  bool Checked(Check which) const;
  // Like a click: nothing happens to a disabled box (ILDA Output during a run).
  void SetCheck(Check which, bool on);
  // Like a click on an enabled button. A Start begins the run and returns;
  // RunEnded() is emitted when its last end step is done.
  void ClickStart();
  void ClickStop();

 signals:
  // The DAC list was drawn again.
  void DacListChanged();
  // The operator moved a bar, pressed Start or Stop or chose a mode: the bar's
  // control name, "start", "stop" or "mode1".."mode6".
  void ControlTouched(const QString& target);
  // A run's last end step is done: the DAC closed, every message told.
  void RunFinished();
  // Just before each frame of a run is built, with the show's playing time
  // so far: what changes the panel now, the frame carries.
  void FrameComing(double showSeconds);

 protected:
  // Closing is never refused; a run in progress ends through its end steps.
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the run loop needs of the window.
  void SetEnabled(Control control, bool enabled) override;
  void SetTotalFramesCaption(const std::string& text) override;
  void Post(std::function<void()> work) override;
  void TellOperator(const std::string& message) override;
  void StatusNoteChanged(const std::string& note) override;
  void RunEnded() override;
  bool IldaOutputChecked() const override { return IldaOutChecked(); }
  output::FrameSettings CurrentFrameSettings() const override;
  void DrawPreview(const engine::FrameData& frame, bool showDots) override;
  void BeforeFrame(double showSeconds) override;

  void BuildControls(QWidget* client);
  void FindControls(QWidget* client);
  void ConnectHandlers();
  void ReportTouches();

  // A Scroll handler's frame: during a run, one goes out with this moment's values.
  void ProcessFrame();
  // Shows the messages of a run that ended while the window was closing,
  // then ends the program.
  void EndProgram();

  void Form_Load();
  void SetUpPreview();
  void ShowFrameRate();

  void cmdStart_Click();
  void cmdStop_Click();
  void lstDACSelect_Click();
  void Form_Unload();
  void mnuAbout_Click();
  void mnuDevices_Click();
  void mnuProjection_Click();
  // The run's driver: the device's own back-end inside the DAC's projector
  // profile, which also hands each frame sent to the projection view.
  std::unique_ptr<output::DacDriver> MakeDacDriver(const std::string& dacName);
  // The same run on the panel's DAC (its back-end `device`) and every further
  // output at once.
  std::unique_ptr<output::DacDriver> MakeShowDriver(const std::string& dacName,
                                                    std::unique_ptr<output::DacDriver> device);
  // The run's note, or the number of projectors when there is none.
  void ShowNote();
  void DacSnapshotArrived();
  // The chosen DAC is neither a library DAC nor listed by the directory.
  bool ChosenDacMissing() const;

  void scrRepPoints_Change();
  void scrXGain_Change();
  void scrYGain_Change();
  void scrXPhase_Change();
  void scrXRot_Change();
  void scrYRot_Change();
  void scrXFreq_Change();
  void scrYFreq_Change();
  void scrZFreq_Change();
  void scrRFreq_Change();
  void scrGFreq_Change();
  void scrBFreq_Change();
  void scrPointsPerSec_Change();
  void scrPointsPerFrame_Change();

  QAction* mnuAbout = nullptr;
  QAction* mnuDevices = nullptr;
  QAction* mnuProjection = nullptr;

  PanelScrollBar* scrXGain = nullptr;
  PanelScrollBar* scrYGain = nullptr;
  PanelScrollBar* scrXFreq = nullptr;
  PanelScrollBar* scrYFreq = nullptr;
  PanelScrollBar* scrZFreq = nullptr;
  PanelScrollBar* scrXRot = nullptr;
  PanelScrollBar* scrYRot = nullptr;
  PanelScrollBar* scrRFreq = nullptr;
  PanelScrollBar* scrGFreq = nullptr;
  PanelScrollBar* scrBFreq = nullptr;
  PanelScrollBar* scrRepPoints = nullptr;
  PanelScrollBar* scrPointsPerSec = nullptr;
  PanelScrollBar* scrPointsPerFrame = nullptr;
  PanelScrollBar* scrXPhase = nullptr;

  QLabel* lblXGainV = nullptr;
  QLabel* lblYGainV = nullptr;
  QLabel* lblXFreqV = nullptr;
  QLabel* lblYFReqV = nullptr;
  QLabel* lblZFreqV = nullptr;
  QLabel* lblXRotV = nullptr;
  QLabel* lblYRotV = nullptr;
  QLabel* lblRFreqV = nullptr;
  QLabel* lblGFreqV = nullptr;
  QLabel* lblBFreqV = nullptr;
  QLabel* lblRepPointsV = nullptr;
  QLabel* lblPPSV = nullptr;
  QLabel* lblPPFV = nullptr;
  QLabel* lblXPhaseV = nullptr;
  QLabel* lblFrameRateV = nullptr;
  QLabel* lblTotalFramesV = nullptr;

  QPushButton* cmdStart = nullptr;
  QPushButton* cmdStop = nullptr;
  QListWidget* lstDACSelect = nullptr;
  QListWidget* lstOpMode = nullptr;
  QCheckBox* chkILDAout = nullptr;
  QCheckBox* chkLimitVelocity = nullptr;
  QCheckBox* chkShowDots = nullptr;
  preview::PreviewSurface* picPreview = nullptr;
  QPointer<QMessageBox> aboutBox_;  // open while the About box is shown
  DevicesWindow* devices_ = nullptr;
  DacDirectory& dacs_;
  // The devices behind the list's items after the three library DACs.
  std::vector<output::DacInfo> listedDacs_;
  // The chosen device as last listed, kept while it is missing.
  std::optional<output::DacInfo> chosenDac_;
  bool dacListStale_ = false;  // a snapshot came during a run
  bool endedBySignal_ = false;
  std::vector<std::string> closingMessages_;  // told as the program ends
  TitleNote* statusNote_ = nullptr;

  ProjectionWindow* projection_ = nullptr;
  ShowSetup show_;
};

}  // namespace whorlgen::ui
