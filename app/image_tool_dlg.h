// The main window: every control of the tool, its two modes (sending to the switcher, receiving
// from it), the picture it holds and its preview, and the Send/Get button that runs a transfer
// job on a worker thread while the progress window is up.
//
// The picture is a std::shared_ptr<const Picture> that only the user-interface thread assigns;
// a send job keeps its own reference, and a received picture is handed over whole, so painting
// never sees a released or half-built picture. The worker reaches the window only through the
// JobHost calls, which run on the user-interface thread and return when they are done.
//
// At start the window takes its station settings (address, raster, aspect, frame memory, port,
// time limits, Verify, Retry, PaletteAlpha, RememberLast) from the INI files the station
// settings module reads; without a file it starts with the defaults. Problems in a file are
// shown once in the title and never stop the program. Every Send and Get appends one line to
// the transfer journal.
//
// The preview's context menu chooses the view: "Picture" (the loaded picture stretched over the
// frame), "As sent" (the frame the switcher will hold, built on a thread of its own and drawn
// at the raster's display aspect) and the "Safe areas" overlay.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <QDialog>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>

#include "app/as_sent_renderer.h"
#include "app/window_templates.h"
#include "frame/frame.h"
#include "link/transfer_jobs.h"
#include "picture/as_sent.h"
#include "picture/picture.h"
#include "station/station_settings.h"
#include "station/transfer_journal.h"

class QAbstractButton;
class QAction;
class QFrame;
class QLineEdit;
class QPushButton;
class QRadioButton;
class CAccessKeyStyle;
class CIPAddressCtrl;

class CImageToolDlg : public QDialog, public JobHost {
    Q_OBJECT
  public:
    // Every message box of the program goes through ShowMessage; a hook replaces the box (tests
    // answer the messages through it). The hook runs on the user-interface thread.
    using MessageHook = std::function<void(QWidget* owner, const QString& text)>;
    static void SetMessageHook(MessageHook hook);
    static void ShowMessage(QWidget* owner, const QString& text);

    // The open and save dialogs go through AskFilePath; a hook answers in their place. An empty
    // path means the user cancelled.
    using FilePathHook = std::function<QString(bool save)>;
    static void SetFilePathHook(FilePathHook hook);

    // The About box goes through ShowAbout; a hook receives its text instead (tests).
    using AboutHook = std::function<void(const QString& text)>;
    static void SetAboutHook(AboutHook hook);

    using BindFunction = BindResult (*)(ImgPortApi* api);

    explicit CImageToolDlg(QWidget* parent = nullptr);
    ~CImageToolDlg() override;

    // Opening the window: icons, blank colour, default checks and address, binding ImgPort.
    // Returns false when the library could not be bound; the program then exits with code 1.
    bool OnInitDialog(BindFunction bind = &BindImgPort);

    // The switcher's port; 2006 in the product (or the settings' Port). Tests point the window
    // at an emulator.
    void SetSwitcherPort(uint16_t port) { m_switcherPort = port; }
    uint16_t SwitcherPort() const { return m_switcherPort; }

    // What the station settings gave the window, for the tests.
    const StationSettings& Settings() const { return m_settings; }
    // The problems of the settings files, one text each ("FILE:LINE: WHAT"); empty without any.
    const QStringList& SettingsProblems() const { return m_settingsProblems; }
    // The folder the open (save == false) or save dialog opens in; empty for the default.
    QString FileDialogFolder(bool save) const
    {
        return save ? m_lastSaveFolder : m_lastImageFolder;
    }
    const CTransferJournal& Journal() const { return m_journal; }

    // The on-air view of the preview.
    bool ShowsAsSent() const;
    bool ShowsSafeAreas() const;
    // The as-sent frames of the current picture and radios, once built (null until then, and
    // without a picture); the key frame only for a picture with alpha.
    const std::shared_ptr<const Picture>& AsSentFrame() const { return m_asSentFrame; }
    const std::shared_ptr<const Picture>& AsSentKeyFrame() const { return m_asSentKeyFrame; }
    // True while an as-sent frame is being built for the latest change.
    bool AsSentPending() const { return m_asSentShown != m_asSentGeneration; }
    // Where the picture is drawn in the preview frame, in its coordinates (empty without one).
    QRect PreviewPictureRect() const;

    // What the window shows and holds, for the screenshot tool and the tests; all read-only.
    QWidget* Control(ControlId id) const;
    QAbstractButton* Button(ControlId id) const;
    CIPAddressCtrl* IpAddress() const;
    const std::shared_ptr<const Picture>& CurrentPicture() const { return m_picture; }
    const ImgPortApi& Api() const { return m_api; }
    // 0 = sending to the switcher, 1 = receiving from it.
    int Mode() const { return m_mode; }
    bool HasAlpha() const { return m_hasAlpha != 0; }
    // True while the preview shows the alpha plane.
    bool ShowsAlpha() const { return m_showAlpha != 0; }
    BlankColor Blank() const { return m_blank; }
    // The caption without the confirmation of the last transfer.
    QString BaseCaption() const { return m_caption; }
    // The confirmation of the last successful transfer, shown in the title until the next
    // action ("FMEM 1 ← card.png, 1920×1080, 42 ms, 23:14:05"); empty when there is none.
    QString StatusText() const { return m_status; }
    // The text of the About box.
    QString AboutText() const;

    // Every way the window closes ends here: with RememberLast the values in force are written
    // back to the settings file.
    void done(int result) override;

    // Handlers of the controls.
    void OnSizeRadio(ControlId id);
    void OnAspectRadio(ControlId id);
    void OnTargetRadio(ControlId id);
    void OnRgba();
    void OnDisplayAlpha();
    void OnBlankColor();
    void OnModeToggle();
    void OnImageButton();
    void OnSelectImage();
    void OnSaveImage();
    void OnTransferButton();
    void OnAbout();

    // Select Image after the open dialog (also what a dropped file does): loads the file,
    // updates Width and Height and repaints. Returns false (after "File read error!!") on failure.
    bool LoadFromFile(const QString& path);
    // Save Image after the save dialog. Returns false when nothing was written.
    bool SaveToFile(const QString& path);

    // The settings of a job, read from the controls (user-interface thread only).
    JobSettings ReadJobSettings() const;

    // JobHost, called on the worker thread.
    void ShowMessage(const char* text) override;
    void InstallReceivedPicture(std::shared_ptr<const Picture> picture) override;

  protected:
    // Starts the worker thread running `body`; false when no thread could be started.
    virtual bool StartWorker(std::function<void()> body);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Loads a picture file into the picture state and sets the alpha controls. 0 on success;
    // 1 on failure, which leaves no picture.
    int LoadPicture(const char* path);
    // Pushes the Width and Height values into their boxes.
    void PushDataToControls();
    // Worker-side bodies of the two jobs; they record the outcome for the confirmation.
    void RunSendJob(const JobSettings& settings, std::shared_ptr<const Picture> picture,
                    const QString& file);
    void RunReceiveJob(const JobSettings& settings);

    void ConnectHandlers();
    void CreateShortcuts();
    void InstallPicture(std::shared_ptr<const Picture> picture);
    void PaintPreview();
    QString AskFilePath(bool save);
    void JoinWorker();
    void SetCheck(ControlId id, bool checked);
    bool IsChecked(ControlId id) const;
    void SetEnabled(ControlId id, bool enabled);
    void SetButtonText(ControlId id, const char* text);
    // Gives each radio group one tab stop: its checked radio, or its first enabled one.
    void UpdateRadioTabStops();
    // An arrow key on a radio button: clicks its neighbour in the group. False when `radio` is
    // in no group or the key is no arrow.
    bool MoveInRadioGroup(QRadioButton* radio, int key);
    void ShowStatus(const QString& status);
    void ClearStatus();
    void ConfirmTransfer(const JobSettings& settings, bool sending);
    void CreatePreviewMenu();
    void ShowJournalProblem();
    void ApplyStationSettings();
    void SaveRememberedState();
    // Starts building the as-sent frames when the "As sent" view needs them.
    void RefreshAsSent();
    void AcceptAsSent(AsSentResultFrames frames);
    // The picture the preview draws and the shape it is drawn at; null when there is none.
    std::shared_ptr<const Picture> PreviewSource(bool* alpha, DisplayAspect* aspect) const;
    // The journal line of the job that has just ended (worker thread).
    void JournalJob(const JobSettings& settings, bool sending, const QString& file);

    std::map<int, QWidget*> m_controls;
    QFrame* m_previewFrame = nullptr;
    CAccessKeyStyle* m_accessKeyStyle = nullptr;
    std::shared_ptr<const Picture> m_picture;
    QString m_pictureName;  // file name of the picture, or the frame memory it came from
    QString m_picturePath;  // the loaded file's path; empty for a received frame
    ImgPortApi m_api;
    uint16_t m_switcherPort = kSwitcherPort;
    std::thread m_worker;
    QString m_caption;
    QString m_status;

    int m_mode = 0;
    uint8_t m_hasAlpha = 0;
    uint8_t m_showAlpha = 0;
    int m_width = 0;
    int m_height = 0;
    BlankColor m_blank{0, 0, 0};

    // Written by the worker before it ends, read after it has been joined.
    int m_jobResult = 0;
    std::chrono::steady_clock::duration m_jobTime{};
    std::string m_jobMessage;    // the last message the job showed
    int m_jobReceivedWidth = 0;  // size of the frame a Get installed
    int m_jobReceivedHeight = 0;
    std::string m_journalProblem;  // the journal's one failure text

    // Station settings in force.
    StationSettings m_settings;
    QStringList m_settingsProblems;
    LinkOptions m_linkOptions;
    int m_busyRetries = 0;
    QString m_lastImageFolder;
    QString m_lastSaveFolder;
    QString m_fileHostName;  // the file's Address when it is a host name
    QString m_startAddress;  // what the address control showed at start in its place
    CTransferJournal m_journal;

    // The preview's context menu.
    QAction* m_viewPictureAction = nullptr;
    QAction* m_viewAsSentAction = nullptr;
    QAction* m_safeAreasAction = nullptr;
    QAction* m_verifyAction = nullptr;
    QAction* m_paletteAlphaAction = nullptr;

    // The "As sent" view: the latest request's generation and the one whose frames are held.
    std::unique_ptr<CAsSentRenderer> m_asSentRenderer;  // started the first time it is needed
    uint64_t m_asSentGeneration = 0;
    uint64_t m_asSentShown = 0;
    std::shared_ptr<const Picture> m_asSentFrame;
    std::shared_ptr<const Picture> m_asSentKeyFrame;
    std::shared_ptr<const Picture> m_asSentSource;  // the picture the requests are made of

    // The preview scaled to the frame, rebuilt when the picture, the plane or the size changes.
    QImage m_previewImage;
    std::shared_ptr<const Picture> m_previewPicture;
    bool m_previewAlpha = false;
};
