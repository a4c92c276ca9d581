// A gradient-captioned form that remembers where its window was: position,
// size and maximised state are read from the per-user settings when the form
// is created and written back when it is destroyed.
//
// A concrete form switches this on in its creation handler, which runs after
// its constructor and before placement is restored:
//
//     class TfrmMain : public TRTForm {
//     protected:
//         void FormCreate() override
//         {
//             SetSaveSize(true);
//             SetSavePosition(true);
//             SetRegKey("Software\\Internet\\Lumi");
//             ...
//         }
//     };
//
// Creation (on first show, or EnsureCreated()) runs FormCreate, switches the
// gradient on for inactive windows too, and then, when SavePosition is set
// and RegKey is not empty, restores the placement. A form with Position
// poScreenCenter is centred afterwards, so only its size and maximised state
// come from the settings.
//
// Settings values under the key (top level of the key's group):
//   "WindowMaximised"  bool  maximised at destruction; when true only the
//                            maximised state is restored
//   "Top", "Left"      int   the window's top-left corner
//   "Height", "Width"  int   the window's size; restored only with SaveSize,
//                            always written
// Missing or unreadable values leave the window at (25, 25).
#pragma once

#include <QString>

#include <memory>

#include "TGradFormSrc.h"

class QSettings;

namespace lumigrab {

// The per-user settings that a registry-style key path names. Components
// are separated by backslashes, empty ones are skipped, and a leading
// "Software" (any case) is dropped when more follows; what remains names
// organisation, application and group:
//   "Software\Org\App"          Org/App.conf ($XDG_CONFIG_HOME on Linux), top level
//   "Software\Org\App\A\B"      Org/App.conf, group "A/B"
//   "Software\Org", "Org"       Org.conf, top level
//   "Org\App"                   the same as "Software\Org\App"
// The group is already entered in the returned settings.
std::unique_ptr<QSettings> OpenRegKey(const QString& regKey);

class TRTForm : public TGradientForm {
    Q_OBJECT

public:
    explicit TRTForm(QWidget* owner = nullptr);
    // Writes the placement when SavePosition is set and RegKey is not empty.
    ~TRTForm() override;

    // Whether placement is restored and saved at all; false unless the
    // concrete form sets it.
    bool SavePosition() const { return savePosition_; }
    void SetSavePosition(bool save) { savePosition_ = save; }
    // Whether the saved size is restored too.
    bool SaveSize() const { return saveSize_; }
    void SetSaveSize(bool save) { saveSize_ = save; }
    // The settings key of the placement (see OpenRegKey); one leading
    // backslash is removed. Empty means nothing is stored.
    const QString& RegKey() const { return regKey_; }
    void SetRegKey(const QString& key);

    // The application's title as it was when the form was created.
    const QString& TitleSaved() const { return titleSaved_; }
    // The form's own hint, "Ready.", for a status line to show.
    const QString& Hint() const { return hint_; }

protected:
    void DoCreate() override;

private:
    void RestorePlacement();
    bool ReadPlacement(const QSettings& settings);
    void SavePlacement();

    bool savePosition_ = false;
    bool saveSize_ = false;
    QString regKey_;
    QString titleSaved_;
    QString hint_;
};

} // namespace lumigrab
