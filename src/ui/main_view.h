#pragma once

#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "controller/controller.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLayout;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace housetone::ui {

class DeviceList;
class DeviceRow;
class GuidedPanel;
class HeroArtwork;

// The content of the main window: header picture, mode and Keep in step, status, warnings, one row
// per speaker, the tools, the guided-align panel, the shift-all row, the auto-tune result and the
// footnotes, on a page that scrolls when the window is shorter than it; under the page, while Keep
// in step listens, a line that says so.
// It observes every published controller field and brings itself up to date once per turn of
// the event loop, however many fields changed. Every action goes to the controller; the view
// holds no state of its own beyond the measured height of the device list.
//
// Main thread only, like the controller.
class MainView final : public QWidget {
    Q_OBJECT
  public:
    explicit MainView(std::shared_ptr<Controller> c, QWidget* parent = nullptr);
    ~MainView() override;
    MainView(const MainView&) = delete;
    MainView& operator=(const MainView&) = delete;

    // For desktops without a system tray: a small button in the header pops up `menu`. The view
    // does not take ownership. Until this is called there is no such button.
    void setMenuFallback(QMenu* menu);

    // Height of all device rows together, in pixels; the list is given exactly this height and
    // scrolls only when the window is too small for it.
    double deviceListHeight() const;

  signals:
    // "Show last tune…": the shell owns the picture's window.
    void showTuneRequested();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    QWidget* buildModePicker();
    QWidget* buildListeningBar();
    QWidget* buildWarning();
    QWidget* buildToolsRow1();
    QWidget* buildToolsRow2();
    QWidget* buildShiftAllRow();
    QWidget* buildDeviceList(QWidget* controls);
    QLayout* buildTuneLine(QWidget* controls);
    void addNotes(QWidget* controls, QVBoxLayout* column);

    void scheduleRefresh();
    void refresh();
    void refreshWarning();
    void refreshTools(const std::optional<Dev>& reference);
    void refreshTuneLine();
    // Shown only with a reference in Aligned mode: null hides it.
    void refreshReferenceNote(const std::optional<Dev>& reference);
    void refreshRows(const std::optional<Dev>& reference);
    // Rows for the speakers that left while aligned plays on, from list position `at`.
    void refreshDepartedRows(int at);
    void refreshMicPicker();
    void applyColors();

    std::shared_ptr<Controller> c_;
    int observerToken_ = 0;
    QTimer* refreshTimer_;

    HeroArtwork* hero_ = nullptr;
    QButtonGroup* modeGroup_ = nullptr;
    QCheckBox* keepInStep_ = nullptr;
    // Shown for exactly as long as Keep in step listens to the microphone; outside the page, so
    // no scrolling ever takes it out of sight.
    QWidget* listening_ = nullptr;
    QLabel* listeningText_ = nullptr;
    QLabel* status_ = nullptr;
    QWidget* warning_ = nullptr;
    QLabel* warningText_ = nullptr;
    DeviceList* list_ = nullptr;
    QWidget* listContent_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    std::map<std::string, DeviceRow*> rows_;        // by UID
    std::map<std::string, QWidget*> departedRows_;  // speakers that left while aligned plays on
    QPushButton* autoTune_ = nullptr;
    QPushButton* alignByEar_ = nullptr;
    QCheckBox* bass_ = nullptr;
    QWidget* boost_ = nullptr;
    QButtonGroup* boostGroup_ = nullptr;
    QWidget* micRow_ = nullptr;
    QComboBox* mic_ = nullptr;
    // (name, UID) as listed; the built-in microphone first, with no UID (none is stored for it).
    std::vector<std::pair<std::string, std::string>> micItems_;
    QPushButton* clickTest_ = nullptr;
    GuidedPanel* guided_ = nullptr;
    QWidget* shiftAll_ = nullptr;
    std::vector<QToolButton*> shiftButtons_;
    std::vector<QLabel*> secondaryLabels_;
    QLabel* tuneResult_ = nullptr;
    QProgressBar* tuneProgress_ = nullptr;
    QPushButton* showTune_ = nullptr;
    QLabel* referenceNote_ = nullptr;
    QLabel* zoomNote_ = nullptr;
};

}  // namespace housetone::ui
