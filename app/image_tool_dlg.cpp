#include "app/image_tool_dlg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QColorDialog>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QUrl>

#include "app/about_box.h"
#include "app/ip_address_ctrl.h"
#include "app/transfer_progress_dlg.h"
#include "link/progress.h"
#include "picture/broadcast_safe_areas.h"
#include "picture/palette_alpha.h"

namespace {

#include "resources/strings.inc"

// The preview's context menu.
inline constexpr char kViewPicture[] = "Picture";
inline constexpr char kViewAsSent[] = "As sent";
inline constexpr char kViewSafeAreas[] = "Safe areas";
inline constexpr char kVerifyAfterWrite[] = "Verify after write";
inline constexpr char kPaletteAlpha[] = "Use the palette's transparency as alpha";
// The title's notices: problems of the settings files, a journal that cannot be written.
inline constexpr char kSettingsHostName[] =
    "Address: \"%1\" is not a dotted IPv4 address; the window starts with %2";
inline constexpr char kNoticeSeparator[] = "; ";
// A received frame in the journal.
inline constexpr char kJournalPreview[] = "preview";
inline constexpr char kProgramName[] = "ImgCast";

// The "As sent" view: the frame around the raster's shape, and the two safe-area outlines.
const QColor kAsSentSurround(64, 64, 64);
const QColor kActionSafeColour(255, 255, 0);
const QColor kGraphicsSafeColour(0, 255, 255);

CImageToolDlg::MessageHook& MessageHookSlot()
{
    static CImageToolDlg::MessageHook hook;
    return hook;
}

CImageToolDlg::FilePathHook& FilePathHookSlot()
{
    static CImageToolDlg::FilePathHook hook;
    return hook;
}

CImageToolDlg::AboutHook& AboutHookSlot()
{
    static CImageToolDlg::AboutHook hook;
    return hook;
}

// The radio groups, each in the order the jobs test them (and the arrow keys walk them).
constexpr ControlId kSizeRadios[] = {kIdcHd1080, kIdcHd720, kIdcSd480, kIdcSd576};
constexpr OutputRaster kSizeRasters[] = {OutputRaster::HD1080, OutputRaster::HD720,
                                         OutputRaster::SD480, OutputRaster::SD576};
constexpr ControlId kAspectRadios[] = {kIdcFull, kIdcKeep};
constexpr ControlId kTargetRadios[] = {kIdcFmem1, kIdcFmem2};

struct RadioGroup {
    const ControlId* radios;
    int count;
};
constexpr RadioGroup kRadioGroups[] = {{kSizeRadios, 4}, {kAspectRadios, 2}, {kTargetRadios, 2}};

// Enter and Escape do nothing in the main window; Ctrl+Enter is the Send/Get shortcut.
bool IsSwallowedKey(const QKeyEvent* key)
{
    const int code = key->key();
    if (code == Qt::Key_Escape) return true;
    if (code != Qt::Key_Return && code != Qt::Key_Enter) return false;
    return (key->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier;
}

bool IsPictureFile(const QString& path)
{
    static const QStringList suffixes = {QStringLiteral("tif"), QStringLiteral("tiff"),
                                         QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                         QStringLiteral("png"), QStringLiteral("bmp"),
                                         QStringLiteral("gif")};
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && suffixes.contains(path.mid(dot + 1).toLower());
}

QString DroppedPicturePath(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().first();
    if (!url.isLocalFile() || !IsPictureFile(url.toLocalFile())) return {};
    return url.toLocalFile();
}

}  // namespace

void CImageToolDlg::SetMessageHook(MessageHook hook)
{
    MessageHookSlot() = std::move(hook);
}

void CImageToolDlg::SetFilePathHook(FilePathHook hook)
{
    FilePathHookSlot() = std::move(hook);
}

void CImageToolDlg::SetAboutHook(AboutHook hook)
{
    AboutHookSlot() = std::move(hook);
}

void CImageToolDlg::ShowMessage(QWidget* owner, const QString& text)
{
    if (MessageHookSlot()) {
        MessageHookSlot()(owner, text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, owner);
    box.exec();
}

CImageToolDlg::CImageToolDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("imageToolDlg"));
    m_controls = BuildDialog(this, MainWindowTemplate());
    // One version for the program, its caption and its About box.
    m_caption = QString::fromUtf8(MainWindowTemplate().caption)
                    .arg(CaptionVersion(QStringLiteral(IMGCAST_VERSION)));
    setWindowTitle(m_caption);
    m_previewFrame = static_cast<QFrame*>(m_controls.at(kIdcPreviewFrame));
    m_previewFrame->installEventFilter(this);
    m_accessKeyStyle = new CAccessKeyStyle;
    m_accessKeyStyle->setParent(this);
    for (QPushButton* button : findChildren<QPushButton*>()) button->setStyle(m_accessKeyStyle);
    // Only the window itself takes dropped picture files; the address fields would take the
    // file's name as text.
    setAcceptDrops(true);
    for (int index = 0; index < 4; ++index) IpAddress()->Field(index)->setAcceptDrops(false);
    setWindowIcon(QIcon(QStringLiteral(":/icons/icon128.png")));
    ConnectHandlers();
    CreateShortcuts();
    CreatePreviewMenu();
    // Enter and Escape are swallowed before any control of this window sees them.
    qApp->installEventFilter(this);
}

CImageToolDlg::~CImageToolDlg()
{
    qApp->removeEventFilter(this);
    JoinWorker();
    m_asSentRenderer.reset();  // its callback posts to this window
}

bool CImageToolDlg::OnInitDialog(BindFunction bind)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/icon128.png"));
    icon.addFile(QStringLiteral(":/icons/icon128-256.png"));
    setWindowIcon(icon);
    PushDataToControls();  // Width and Height show 0 until a picture arrives
    m_blank = BlankColor{0, 0, 0};
    SetCheck(kIdcHd1080, true);
    SetCheck(kIdcFull, true);
    SetCheck(kIdcFmem1, true);
    IpAddress()->SetAddress(192, 168, 0, 10);
    ApplyStationSettings();
    const BindResult bound = bind(&m_api);
    if (bound != BindResult::Bound) {
        // A missing export has already written its debug line; only a missing library is
        // shown to the user.
        if (bound == BindResult::LibraryMissing)
            ShowMessage(this, QString::fromUtf8(kCannotLoadImgPort));
        return false;
    }
    m_picture.reset();
    m_hasAlpha = 0;
    m_showAlpha = 0;
    return true;
}

void CImageToolDlg::ConnectHandlers()
{
    // Any click on a control is the next action, which ends the confirmation of the last
    // transfer; connected first, so that a transfer the click starts can confirm itself.
    for (const auto& [id, widget] : m_controls) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            connect(button, &QAbstractButton::clicked, this, &CImageToolDlg::ClearStatus);
    }
    for (int index = 0; index < 4; ++index)
        connect(IpAddress()->Field(index), &QLineEdit::textEdited, this,
                &CImageToolDlg::ClearStatus);

    connect(Button(kIdcClose), &QAbstractButton::clicked, this, &QDialog::accept);
    for (ControlId id : kSizeRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnSizeRadio(id); });
    for (ControlId id : kAspectRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnAspectRadio(id); });
    for (ControlId id : kTargetRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnTargetRadio(id); });
    connect(Button(kIdcRgba), &QAbstractButton::clicked, this, &CImageToolDlg::OnRgba);
    connect(Button(kIdcDisplayAlpha), &QAbstractButton::clicked, this,
            &CImageToolDlg::OnDisplayAlpha);
    connect(Button(kIdcBlankColor), &QAbstractButton::clicked, this, &CImageToolDlg::OnBlankColor);
    connect(Button(kIdcModeButton), &QAbstractButton::clicked, this, &CImageToolDlg::OnModeToggle);
    connect(Button(kIdcImageButton), &QAbstractButton::clicked, this,
            &CImageToolDlg::OnImageButton);
    connect(Button(kIdcTransferButton), &QAbstractButton::clicked, this,
            &CImageToolDlg::OnTransferButton);
}

void CImageToolDlg::CreateShortcuts()
{
    // Ctrl+O is Select Image in sending mode; Ctrl+Enter presses Send or Get. Both act only
    // where a click on the button would.
    auto* selectImage = new QAction(this);
    selectImage->setShortcut(QKeySequence::Open);
    connect(selectImage, &QAction::triggered, this, [this] {
        QAbstractButton* button = Button(kIdcImageButton);
        if (m_mode == 0 && button->isEnabled()) button->click();
    });
    addAction(selectImage);
    auto* transfer = new QAction(this);
    transfer->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    connect(transfer, &QAction::triggered, this, [this] {
        QAbstractButton* button = Button(kIdcTransferButton);
        if (button->isEnabled()) button->click();
    });
    addAction(transfer);
    // The window manager's menu cannot be extended from here, so the About box is on the
    // window's own context menu, and on F1.
    auto* about = new QAction(QString::fromUtf8(kAboutAction), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &CImageToolDlg::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

QWidget* CImageToolDlg::Control(ControlId id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QAbstractButton* CImageToolDlg::Button(ControlId id) const
{
    return qobject_cast<QAbstractButton*>(Control(id));
}

CIPAddressCtrl* CImageToolDlg::IpAddress() const
{
    return static_cast<CIPAddressCtrl*>(Control(kIdcIpAddress));
}

void CImageToolDlg::SetCheck(ControlId id, bool checked)
{
    Button(id)->setChecked(checked);
    UpdateRadioTabStops();
}

bool CImageToolDlg::IsChecked(ControlId id) const
{
    return Button(id)->isChecked();
}

void CImageToolDlg::SetEnabled(ControlId id, bool enabled)
{
    Control(id)->setEnabled(enabled);
    UpdateRadioTabStops();
}

void CImageToolDlg::SetButtonText(ControlId id, const char* text)
{
    // Setting a text also sets the button's Alt+letter shortcut from its marked letter.
    Button(id)->setText(QString::fromUtf8(text));
}

void CImageToolDlg::UpdateRadioTabStops()
{
    for (const RadioGroup& group : kRadioGroups) {
        QAbstractButton* stop = nullptr;
        for (int index = 0; index < group.count && !stop; ++index) {
            QAbstractButton* radio = Button(group.radios[index]);
            if (radio->isChecked() && radio->isEnabled()) stop = radio;
        }
        for (int index = 0; index < group.count && !stop; ++index) {
            QAbstractButton* radio = Button(group.radios[index]);
            if (radio->isEnabled()) stop = radio;
        }
        for (int index = 0; index < group.count; ++index) {
            QAbstractButton* radio = Button(group.radios[index]);
            radio->setFocusPolicy(radio == stop ? Qt::StrongFocus : Qt::ClickFocus);
        }
    }
}

bool CImageToolDlg::MoveInRadioGroup(QRadioButton* radio, int key)
{
    int step = 0;
    if (key == Qt::Key_Down || key == Qt::Key_Right) step = 1;
    if (key == Qt::Key_Up || key == Qt::Key_Left) step = -1;
    if (step == 0) return false;
    for (const RadioGroup& group : kRadioGroups) {
        int at = -1;
        for (int index = 0; index < group.count; ++index) {
            if (Button(group.radios[index]) == radio) at = index;
        }
        if (at < 0) continue;
        // The next enabled radio in the group, round the end as in every radio group.
        for (int walked = 1; walked < group.count; ++walked) {
            const int next = ((at + step * walked) % group.count + group.count) % group.count;
            QAbstractButton* neighbour = Button(group.radios[next]);
            if (!neighbour->isEnabled()) continue;
            neighbour->setFocus(Qt::TabFocusReason);
            neighbour->click();
            break;
        }
        return true;
    }
    return false;
}

void CImageToolDlg::OnSizeRadio(ControlId id)
{
    for (ControlId radio : kSizeRadios) SetCheck(radio, radio == id);
    RefreshAsSent();
}

void CImageToolDlg::OnAspectRadio(ControlId id)
{
    for (ControlId radio : kAspectRadios) SetCheck(radio, radio == id);
    RefreshAsSent();
}

void CImageToolDlg::OnTargetRadio(ControlId id)
{
    for (ControlId radio : kTargetRadios) SetCheck(radio, radio == id);
}

void CImageToolDlg::OnRgba()
{
    // A colour/alpha pair always fills both memories, so the target radios have no say.
    const bool pair = IsChecked(kIdcRgba);
    SetEnabled(kIdcFmem1, !pair);
    SetEnabled(kIdcFmem2, !pair);
}

void CImageToolDlg::OnDisplayAlpha()
{
    m_showAlpha = IsChecked(kIdcDisplayAlpha) ? 1 : 0;
    m_previewFrame->repaint();
}

void CImageToolDlg::OnBlankColor()
{
    const QColor chosen =
        QColorDialog::getColor(QColor(m_blank.red, m_blank.green, m_blank.blue), this);
    if (chosen.isValid()) {
        m_blank =
            BlankColor{static_cast<uint8_t>(chosen.red()), static_cast<uint8_t>(chosen.green()),
                       static_cast<uint8_t>(chosen.blue())};
        RefreshAsSent();
    }
}

void CImageToolDlg::OnModeToggle()
{
    m_mode = 1 - m_mode;
    const bool receiving = m_mode == 1;
    if (receiving) {
        SetEnabled(kIdcFmem1, true);
        SetEnabled(kIdcFmem2, true);
        SetEnabled(kIdcRgba, false);
        SetEnabled(kIdcDisplayAlpha, false);
    } else {
        const bool pair = IsChecked(kIdcRgba);
        SetEnabled(kIdcFmem1, !pair);
        SetEnabled(kIdcFmem2, !pair);
        if (m_hasAlpha) {
            SetEnabled(kIdcRgba, true);
            SetEnabled(kIdcDisplayAlpha, true);
        }
    }
    SetButtonText(kIdcModeButton, receiving ? kModeButtonReceiving : kModeButtonSending);
    SetButtonText(kIdcTransferButton,
                  receiving ? kTransferButtonReceiving : kTransferButtonSending);
    SetButtonText(kIdcImageButton, receiving ? kImageButtonReceiving : kImageButtonSending);
    for (ControlId id : {kIdcAspectGroup, kIdcSizeGroup, kIdcHd1080, kIdcHd720, kIdcSd480,
                         kIdcSd576, kIdcFull, kIdcKeep})
        SetEnabled(id, !receiving);
    // Receiving draws the picture as it is; sending shows what the radios make of it.
    RefreshAsSent();
    m_previewFrame->update();
}

void CImageToolDlg::OnImageButton()
{
    if (m_mode == 0)
        OnSelectImage();
    else
        OnSaveImage();
}

QString CImageToolDlg::AskFilePath(bool save)
{
    if (FilePathHookSlot()) return FilePathHookSlot()(save);
    QFileDialog dialog(this);
    if (save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(QString::fromUtf8(kSaveFilters));
        // A name typed without an extension is saved as a .bmp file.
        dialog.setDefaultSuffix(QString::fromUtf8(kSaveSuffix));
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(QString::fromUtf8(kOpenFilters));
    }
    dialog.setOption(QFileDialog::ReadOnly, false);
    const QString folder = save ? m_lastSaveFolder : m_lastImageFolder;
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void CImageToolDlg::OnSelectImage()
{
    const QString path = AskFilePath(false);
    if (path.isEmpty()) return;
    m_lastImageFolder = QFileInfo(path).absolutePath();
    LoadFromFile(path);
}

bool CImageToolDlg::LoadFromFile(const QString& path)
{
    ClearStatus();
    SetCheck(kIdcDisplayAlpha, false);
    const QByteArray encoded = QFile::encodeName(path);
    if (LoadPicture(encoded.constData()) != 0) {
        // The failed load left no picture: the boxes and the preview say so at once.
        m_width = 0;
        m_height = 0;
        m_picturePath.clear();
        PushDataToControls();
        RefreshAsSent();
        update();
        m_previewFrame->update();
        ShowMessage(this, QString::fromUtf8(kFileReadError));
        return false;
    }
    m_pictureName = QFileInfo(path).fileName();
    m_picturePath = path;
    RefreshAsSent();
    m_width = m_picture->width;
    m_height = m_picture->height;
    PushDataToControls();
    update();
    m_previewFrame->update();
    return true;
}

int CImageToolDlg::LoadPicture(const char* path)
{
    std::shared_ptr<const Picture> loaded;
    const int result = ::LoadPicture(m_api, path, &loaded);
    m_hasAlpha = 0;
    m_showAlpha = 0;
    if (result != 0 || !loaded) {
        m_picture.reset();
        return 1;
    }
    if (m_paletteAlphaAction->isChecked() && !loaded->HasAlpha()) {
        // A palette or colour key the library drops becomes the picture's alpha; a file
        // without one stays as it was loaded.
        std::shared_ptr<const Picture> withAlpha;
        if (AddPaletteAlpha(path, *loaded, &withAlpha) == kPaletteAlphaAdded && withAlpha)
            loaded = std::move(withAlpha);
    }
    if (loaded->HasAlpha()) {
        m_hasAlpha = 1;
        SetEnabled(kIdcRgba, true);
        SetEnabled(kIdcDisplayAlpha, true);
    } else {
        SetCheck(kIdcDisplayAlpha, false);
        SetCheck(kIdcRgba, false);
        SetEnabled(kIdcFmem1, true);
        SetEnabled(kIdcFmem2, true);
        SetEnabled(kIdcRgba, false);
        SetEnabled(kIdcDisplayAlpha, false);
    }
    m_picture = std::move(loaded);
    return 0;
}

void CImageToolDlg::OnSaveImage()
{
    if (!m_picture) {
        ShowMessage(this, QString::fromUtf8(kImageIsNull));
        return;
    }
    const QString path = AskFilePath(true);
    if (path.isEmpty()) return;
    m_lastSaveFolder = QFileInfo(path).absolutePath();
    SaveToFile(path);
}

bool CImageToolDlg::SaveToFile(const QString& path)
{
    if (!m_picture) {
        ShowMessage(this, QString::fromUtf8(kImageIsNull));
        return false;
    }
    const QByteArray encoded = QFile::encodeName(path);
    if (SavePictureBmp(m_api, *m_picture, encoded.constData()) != 0) {
        ShowMessage(this, QString::fromUtf8(kFileWriteError));
        return false;
    }
    return true;
}

void CImageToolDlg::PushDataToControls()
{
    static_cast<QLineEdit*>(Control(kIdcWidthBox))->setText(QString::number(m_width));
    static_cast<QLineEdit*>(Control(kIdcHeightBox))->setText(QString::number(m_height));
}

JobSettings CImageToolDlg::ReadJobSettings() const
{
    JobSettings settings;
    IpAddress()->GetAddress(&settings.address);
    settings.raster = OutputRaster::HD1080;
    for (int index = 0; index < 4; ++index) {
        if (Button(kSizeRadios[index])->isChecked()) {
            settings.raster = kSizeRasters[index];
            break;
        }
    }
    settings.aspect = Button(kIdcKeep)->isChecked() ? AspectMode::Keep : AspectMode::Full;
    settings.rgbaPair = Button(kIdcRgba)->isChecked();
    settings.fmem1 = Button(kIdcFmem1)->isChecked();
    settings.blank = m_blank;
    settings.link = m_linkOptions;
    settings.link.port = m_switcherPort;
    settings.verify = m_verifyAction->isChecked();
    settings.busyRetry.retries = m_busyRetries;
    return settings;
}

bool CImageToolDlg::StartWorker(std::function<void()> body)
{
    JoinWorker();
    try {
        m_worker = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CImageToolDlg::JoinWorker()
{
    if (m_worker.joinable()) m_worker.join();
}

void CImageToolDlg::OnTransferButton()
{
    // The window takes the keyboard back when the progress window has gone, also where the
    // window manager leaves no window active, so its shortcuts keep working.
    struct Reactivate {
        QWidget* window;
        ~Reactivate()
        {
            if (window->isVisible()) window->activateWindow();
        }
    } reactivate{this};
    CTransferProgressDlg progress(this);
    if (IpAddress()->IsBlank()) {
        ShowMessage(this, QString::fromUtf8(kAddressIsEmpty));
        return;
    }
    g_progressTotal = -1;
    g_progressDone = 0;
    // The controls are read here, on the user-interface thread; the modal progress window
    // keeps them from changing while the job runs.
    const JobSettings settings = ReadJobSettings();
    m_jobResult = 1;
    m_jobMessage.clear();
    m_journalProblem.clear();
    if (m_mode == 1) {
        g_progressDirection = 0;
        if (StartWorker([this, settings] { RunReceiveJob(settings); })) {
            progress.exec();
            JoinWorker();
            if (m_jobResult == 0) ConfirmTransfer(settings, false);
            if (!m_journalProblem.empty()) ShowJournalProblem();
        } else {
            ShowMessage(this, QString::fromUtf8(kMemoryAllocationError));
        }
        PushDataToControls();
        update();
        m_previewFrame->update();
        return;
    }
    g_progressDirection = 1;
    if (!m_picture) {
        ShowMessage(this, QString::fromUtf8(kImageIsNull));
        return;
    }
    std::shared_ptr<const Picture> picture = m_picture;
    const QString file = m_picturePath.isEmpty() ? m_pictureName : m_picturePath;
    if (!StartWorker([this, settings, picture, file] { RunSendJob(settings, picture, file); })) {
        ShowMessage(this, QString::fromUtf8(kMemoryAllocationError));
        return;
    }
    progress.exec();
    JoinWorker();
    if (m_jobResult == 0) ConfirmTransfer(settings, true);
    if (!m_journalProblem.empty()) ShowJournalProblem();
}

void CImageToolDlg::RunSendJob(const JobSettings& settings, std::shared_ptr<const Picture> picture,
                               const QString& file)
{
    const auto start = std::chrono::steady_clock::now();
    {
        CTransferJob job(settings, *this);
        job.RunSendJob(std::move(picture));
        m_jobResult = job.m_result;
    }
    m_jobTime = std::chrono::steady_clock::now() - start;
    // The job has set the completion event already: the progress window closes while the
    // line is written.
    JournalJob(settings, true, file);
}

void CImageToolDlg::RunReceiveJob(const JobSettings& settings)
{
    const auto start = std::chrono::steady_clock::now();
    m_jobReceivedWidth = 0;
    m_jobReceivedHeight = 0;
    {
        CTransferJob job(settings, *this);
        job.RunReceiveJob();
        m_jobResult = job.m_result;
    }
    m_jobTime = std::chrono::steady_clock::now() - start;
    JournalJob(settings, false, QString::fromUtf8(kJournalPreview));
}

void CImageToolDlg::ConfirmTransfer(const JobSettings& settings, bool sending)
{
    const QString target = settings.rgbaPair && sending
                               ? QString::fromUtf8(kFmemPair)
                               : QString::fromUtf8(kFmemName).arg(settings.fmem1 ? 1 : 2);
    const qint64 milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_jobTime).count();
    const QString clock = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    if (sending) {
        const RasterSize size = RasterDimensions(settings.raster);
        ShowStatus(QString::fromUtf8(kStatusSent)
                       .arg(target, m_pictureName)
                       .arg(size.width)
                       .arg(size.height)
                       .arg(milliseconds)
                       .arg(clock));
    } else if (m_picture) {
        m_pictureName = QString::fromUtf8(kReceivedFrameName).arg(target);
        ShowStatus(QString::fromUtf8(kStatusReceived)
                       .arg(target)
                       .arg(m_picture->width)
                       .arg(m_picture->height)
                       .arg(milliseconds)
                       .arg(clock));
    }
}

void CImageToolDlg::ShowStatus(const QString& status)
{
    m_status = status;
    setWindowTitle(m_caption + QString::fromUtf8(kStatusSeparator) + status);
}

void CImageToolDlg::ClearStatus()
{
    if (m_status.isEmpty()) return;
    m_status.clear();
    setWindowTitle(m_caption);
}

QString CImageToolDlg::AboutText() const
{
    QString path;
    QString version = LibraryFileVersion(reinterpret_cast<const void*>(m_api.loadImage), &path);
    // A library file without a version in its name or SONAME is the one built with the program.
    if (version.isEmpty())
        version = QString::fromUtf8(kLibraryBuiltWith).arg(QStringLiteral(IMGCAST_VERSION));
    return QString::fromUtf8(kAboutText)
        .arg(QStringLiteral(IMGCAST_VERSION), version, path, QString::fromUtf8(qVersion()));
}

void CImageToolDlg::OnAbout()
{
    const QString text = AboutText();
    if (AboutHookSlot()) {
        AboutHookSlot()(text);
        return;
    }
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kAboutTitle), text, QMessageBox::Ok,
                    this);
    box.setIconPixmap(windowIcon().pixmap(48, 48));
    box.exec();
}

void CImageToolDlg::ShowMessage(const char* text)
{
    m_jobMessage = text;  // for the journal
    const QString message = QString::fromUtf8(text);
    if (QThread::currentThread() == thread()) {
        ShowMessage(this, message);
        return;
    }
    // The box belongs to the window, so it is shown by the user-interface thread; the worker
    // waits here until it has been dismissed.
    QMetaObject::invokeMethod(
        this, [this, message] { ShowMessage(this, message); }, Qt::BlockingQueuedConnection);
}

void CImageToolDlg::InstallReceivedPicture(std::shared_ptr<const Picture> picture)
{
    if (picture) {
        m_jobReceivedWidth = picture->width;
        m_jobReceivedHeight = picture->height;
    }
    if (QThread::currentThread() == thread()) {
        InstallPicture(std::move(picture));
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, &picture] { InstallPicture(std::move(picture)); },
        Qt::BlockingQueuedConnection);
}

void CImageToolDlg::InstallPicture(std::shared_ptr<const Picture> picture)
{
    if (!picture) return;  // an empty frame never replaces the picture
    m_hasAlpha = 0;
    m_showAlpha = 0;
    SetCheck(kIdcDisplayAlpha, false);
    SetCheck(kIdcRgba, false);
    m_picture = std::move(picture);
    m_picturePath.clear();
    m_width = m_picture->width;
    m_height = m_picture->height;
    RefreshAsSent();
    m_previewFrame->update();
}

bool CImageToolDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_previewFrame && event->type() == QEvent::Paint) {
        PaintPreview();
        return true;
    }
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease ||
        type == QEvent::ShortcutOverride) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Alt && type != QEvent::ShortcutOverride) {
                // Holding Alt shows the buttons' access letters.
                m_accessKeyStyle->SetRevealed(type == QEvent::KeyPress);
                for (QPushButton* button : findChildren<QPushButton*>()) button->update();
            }
            if (type != QEvent::KeyRelease && IsSwallowedKey(key)) {
                event->accept();
                return true;
            }
            if (type == QEvent::KeyPress) {
                auto* radio = qobject_cast<QRadioButton*>(widget);
                if (radio && key->modifiers() == Qt::NoModifier &&
                    MoveInRadioGroup(radio, key->key()))
                    return true;
            }
        }
    }
    if (type == QEvent::WindowDeactivate && watched == this && m_accessKeyStyle->Revealed()) {
        m_accessKeyStyle->SetRevealed(false);
        for (QPushButton* button : findChildren<QPushButton*>()) button->update();
    }
    return QDialog::eventFilter(watched, event);
}

void CImageToolDlg::keyPressEvent(QKeyEvent* event)
{
    if (IsSwallowedKey(event)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CImageToolDlg::PaintPreview()
{
    QPainter painter(m_previewFrame);
    const QRect client = m_previewFrame->rect();
    const QRect target = client.adjusted(1, 1, -1, -1);
    if (!isMinimized() && target.width() > 0 && target.height() > 0) {
        if (ShowsAsSent()) painter.fillRect(target, kAsSentSurround);
        bool alpha = false;
        DisplayAspect aspect{0, 0};
        const std::shared_ptr<const Picture> source = PreviewSource(&alpha, &aspect);
        const QRect drawn = PreviewPictureRect();
        if (source && !drawn.isEmpty()) {
            // Scaled to the drawn area's size in device pixels, so that the preview is as sharp
            // as the screen at any scale factor.
            const qreal ratio = m_previewFrame->devicePixelRatioF();
            const QSize pixels = (QSizeF(drawn.size()) * ratio).toSize();
            if (m_previewPicture != source || m_previewAlpha != alpha ||
                m_previewImage.size() != pixels || m_previewImage.devicePixelRatio() != ratio) {
                const PlaneBytes& plane = alpha ? source->alpha : source->colour;
                // The planes hold blue, green, red bytes in rows of `stride` bytes, top row
                // first.
                const QImage image(plane.data(), source->width, source->height, source->stride,
                                   QImage::Format_BGR888);
                // Area-averaging downscale (and smooth upscale) to the drawn area; in the
                // "Picture" view that is the whole frame, whatever the picture's aspect ratio.
                m_previewImage =
                    image.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
                m_previewImage.setDevicePixelRatio(ratio);
                m_previewPicture = source;
                m_previewAlpha = alpha;
            }
            painter.drawImage(drawn.topLeft(), m_previewImage);
        }
        if (ShowsSafeAreas() && !drawn.isEmpty()) {
            const SafeAreas areas =
                SafeAreasIn(DisplayRect{drawn.x(), drawn.y(), drawn.width(), drawn.height()});
            // Outlines of one pixel on the rectangles' own edge pixels.
            const auto outline = [&painter](const DisplayRect& area, const QColor& colour) {
                if (area.width <= 0 || area.height <= 0) return;
                painter.fillRect(QRect(area.x, area.y, area.width, 1), colour);
                painter.fillRect(QRect(area.x, area.y + area.height - 1, area.width, 1), colour);
                painter.fillRect(QRect(area.x, area.y, 1, area.height), colour);
                painter.fillRect(QRect(area.x + area.width - 1, area.y, 1, area.height), colour);
            };
            outline(areas.action, kActionSafeColour);
            outline(areas.graphics, kGraphicsSafeColour);
        }
    }
    // The black frame last and as filled strips: at a fractional scale factor a picture drawn
    // first can no longer round over a line, and every side keeps at least one device pixel.
    const int width = client.width();
    const int height = client.height();
    painter.fillRect(QRect(0, 0, width, 1), Qt::black);
    painter.fillRect(QRect(0, height - 1, width, 1), Qt::black);
    painter.fillRect(QRect(0, 0, 1, height), Qt::black);
    painter.fillRect(QRect(width - 1, 0, 1, height), Qt::black);
}

std::shared_ptr<const Picture> CImageToolDlg::PreviewSource(bool* alpha,
                                                            DisplayAspect* aspect) const
{
    *alpha = false;
    *aspect = DisplayAspect{0, 0};
    if (!ShowsAsSent()) {
        if (!m_picture) return nullptr;
        *alpha = m_showAlpha && m_picture->HasAlpha();
        *aspect = DisplayAspect{m_picture->width, m_picture->height};
        return m_picture;
    }
    if (m_mode == 1) {
        // A received frame is what a frame memory holds: drawn at its raster's shape.
        if (!m_picture) return nullptr;
        *aspect = DisplayAspect{m_picture->width, m_picture->height};
        for (OutputRaster raster : kSizeRasters) {
            const RasterSize size = RasterDimensions(raster);
            if (size.width == m_picture->width && size.height == m_picture->height)
                *aspect = RasterDisplayAspect(raster);
        }
        return m_picture;
    }
    *aspect = RasterDisplayAspect(ReadJobSettings().raster);
    // The key frame FMEM 2 holds of a pair is drawn like any frame (its colour plane holds it).
    if (m_showAlpha && m_asSentKeyFrame) return m_asSentKeyFrame;
    return m_asSentFrame;
}

QRect CImageToolDlg::PreviewPictureRect() const
{
    const QRect target = m_previewFrame->rect().adjusted(1, 1, -1, -1);
    if (target.width() <= 0 || target.height() <= 0) return {};
    if (!ShowsAsSent()) return m_picture ? target : QRect();
    bool alpha = false;
    DisplayAspect aspect{0, 0};
    PreviewSource(&alpha, &aspect);
    if (aspect.width <= 0 || aspect.height <= 0) return {};
    const DisplayRect rect = CentredAspectRect(aspect, target.height(), target.width());
    return QRect(target.x() + rect.x, target.y() + rect.y, rect.width, rect.height);
}

bool CImageToolDlg::ShowsAsSent() const
{
    return m_viewAsSentAction->isChecked();
}

bool CImageToolDlg::ShowsSafeAreas() const
{
    return m_safeAreasAction->isChecked();
}

void CImageToolDlg::CreatePreviewMenu()
{
    // The view of the preview: what was loaded, or what goes to air. Right click, or the Menu
    // key once a click has given the preview the focus.
    auto* views = new QActionGroup(this);
    views->setExclusive(true);
    m_viewPictureAction = new QAction(QString::fromUtf8(kViewPicture), views);
    m_viewPictureAction->setObjectName(QStringLiteral("viewPictureAction"));
    m_viewPictureAction->setCheckable(true);
    m_viewPictureAction->setChecked(true);
    m_viewAsSentAction = new QAction(QString::fromUtf8(kViewAsSent), views);
    m_viewAsSentAction->setObjectName(QStringLiteral("viewAsSentAction"));
    m_viewAsSentAction->setCheckable(true);
    m_safeAreasAction = new QAction(QString::fromUtf8(kViewSafeAreas), this);
    m_safeAreasAction->setObjectName(QStringLiteral("safeAreasAction"));
    m_safeAreasAction->setCheckable(true);
    m_verifyAction = new QAction(QString::fromUtf8(kVerifyAfterWrite), this);
    m_verifyAction->setObjectName(QStringLiteral("verifyAction"));
    m_verifyAction->setCheckable(true);
    m_paletteAlphaAction = new QAction(QString::fromUtf8(kPaletteAlpha), this);
    m_paletteAlphaAction->setObjectName(QStringLiteral("paletteAlphaAction"));
    m_paletteAlphaAction->setCheckable(true);
    connect(views, &QActionGroup::triggered, this, [this] {
        if (!ShowsAsSent()) {
            // The picture view needs none of it; the next "As sent" builds it again.
            m_asSentFrame.reset();
            m_asSentKeyFrame.reset();
            m_asSentSource.reset();
            m_asSentShown = ++m_asSentGeneration;
        }
        RefreshAsSent();
        m_previewFrame->update();
    });
    connect(m_safeAreasAction, &QAction::toggled, m_previewFrame, qOverload<>(&QWidget::update));

    auto separator = [this] {
        auto* line = new QAction(this);
        line->setSeparator(true);
        return line;
    };
    m_previewFrame->addActions({m_viewPictureAction, m_viewAsSentAction, m_safeAreasAction,
                                separator(), m_verifyAction, m_paletteAlphaAction});
    m_previewFrame->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_previewFrame->setFocusPolicy(Qt::ClickFocus);
}

void CImageToolDlg::RefreshAsSent()
{
    if (!ShowsAsSent() || m_mode == 1) return;
    ++m_asSentGeneration;
    // A new picture never shows the frames of the one before; a changed radio keeps showing
    // the last frames until the new ones are there.
    if (m_asSentSource != m_picture) {
        m_asSentFrame.reset();
        m_asSentKeyFrame.reset();
        m_asSentSource = m_picture;
        m_previewFrame->update();
    }
    if (!m_picture) {
        m_asSentShown = m_asSentGeneration;
        return;
    }
    const JobSettings settings = ReadJobSettings();
    AsSentRequest request;
    request.generation = m_asSentGeneration;
    request.picture = m_picture;
    request.raster = settings.raster;
    request.aspect = settings.aspect;
    request.blank = m_blank;
    if (!m_asSentRenderer) {
        try {
            m_asSentRenderer = std::make_unique<CAsSentRenderer>([this](AsSentResultFrames frames) {
                QMetaObject::invokeMethod(
                    this, [this, frames = std::move(frames)] { AcceptAsSent(frames); },
                    Qt::QueuedConnection);
            });
        } catch (const std::system_error&) {
            // No thread to spare: build the frames here, once.
            AcceptAsSent(BuildAsSentFrames(request));
            return;
        }
    }
    m_asSentRenderer->Request(std::move(request));
}

void CImageToolDlg::AcceptAsSent(AsSentResultFrames frames)
{
    if (frames.generation != m_asSentGeneration) return;  // a later change is on its way
    m_asSentShown = frames.generation;
    m_asSentFrame = std::move(frames.frame);
    m_asSentKeyFrame = std::move(frames.keyFrame);
    m_previewFrame->update();
}

void CImageToolDlg::ApplyStationSettings()
{
    std::vector<SettingsProblem> problems;
    m_settings = LoadStationSettings(&problems);
    for (const SettingsProblem& problem : problems)
        m_settingsProblems << QString::fromStdString(FormatSettingsProblem(problem));

    std::array<uint8_t, 4> address{};
    if (ParseDottedIpv4(m_settings.address, &address)) {
        IpAddress()->SetAddress(address[0], address[1], address[2], address[3]);
    } else {
        // The address control holds four numbers; a host name is for the command line.
        m_settingsProblems << QString::fromUtf8(kSettingsHostName)
                                  .arg(QString::fromStdString(m_settings.address),
                                       IpAddress()->AddressText());
        m_fileHostName = QString::fromStdString(m_settings.address);
        m_startAddress = IpAddress()->AddressText();
    }
    OnSizeRadio(kSizeRadios[static_cast<int>(m_settings.raster)]);
    OnAspectRadio(m_settings.keepAspect ? kIdcKeep : kIdcFull);
    OnTargetRadio(m_settings.fmem == 2 ? kIdcFmem2 : kIdcFmem1);
    m_switcherPort = static_cast<uint16_t>(m_settings.port);
    const auto milliseconds = [](double seconds) {
        return static_cast<int>(std::lround(std::min(seconds * 1000.0, 2.0e9)));
    };
    m_linkOptions.connectTimeoutMs = milliseconds(m_settings.connectTimeoutSeconds);
    m_linkOptions.idleTimeoutMs = milliseconds(m_settings.idleTimeoutSeconds);
    m_verifyAction->setChecked(m_settings.verify);
    m_busyRetries = m_settings.retry;
    m_paletteAlphaAction->setChecked(m_settings.paletteAlpha);
    if (m_settings.rememberLast) {
        m_lastImageFolder = QString::fromStdString(m_settings.lastImageFolder);
        m_lastSaveFolder = QString::fromStdString(m_settings.lastSaveFolder);
    }
    if (m_settingsProblems.isEmpty()) return;
    // Shown once, in the title, where it neither stops nor covers anything; the next action
    // clears it. The error stream keeps the whole list.
    for (const QString& problem : m_settingsProblems)
        std::fprintf(stderr, "ImgCast: %s\n", qPrintable(problem));
    ShowStatus(m_settingsProblems.join(QString::fromUtf8(kNoticeSeparator)));
}

void CImageToolDlg::done(int result)
{
    SaveRememberedState();
    QDialog::done(result);
}

void CImageToolDlg::SaveRememberedState()
{
    if (!m_settings.rememberLast) return;
    StationSettings remembered = m_settings;
    // A blank or half-filled address is not one to start with; the file keeps its own.
    std::array<uint8_t, 4> address{};
    remembered.address = IpAddress()->GetAddress(&address) == 4
                             ? IpAddress()->AddressText().toStdString()
                             : std::string();
    // A host name the window could not take stays in the file unless another address was typed.
    if (!m_fileHostName.isEmpty() && IpAddress()->AddressText() == m_startAddress)
        remembered.address = m_fileHostName.toStdString();
    const JobSettings settings = ReadJobSettings();
    remembered.raster = static_cast<StationRaster>(static_cast<int>(settings.raster));
    remembered.keepAspect = settings.aspect == AspectMode::Keep;
    remembered.fmem = IsChecked(kIdcFmem2) ? 2 : 1;
    remembered.lastImageFolder = m_lastImageFolder.toStdString();
    remembered.lastSaveFolder = m_lastSaveFolder.toStdString();
    std::string error;
    if (!SaveRememberedSettings(remembered, &error))
        std::fprintf(stderr, "ImgCast: %s\n", error.c_str());
    m_settings = remembered;
}

void CImageToolDlg::JournalJob(const JobSettings& settings, bool sending, const QString& file)
{
    JournalEntry entry;
    entry.program = kProgramName;
    char host[16];
    std::snprintf(host, sizeof host, "%u.%u.%u.%u", settings.address[0], settings.address[1],
                  settings.address[2], settings.address[3]);
    entry.host = host;
    entry.port = settings.link.port;
    entry.send = sending;
    entry.pair = sending && settings.rgbaPair;
    entry.fmem = settings.fmem1 ? 1 : 2;
    entry.file = file.toStdString();
    if (sending) {
        const RasterSize size = RasterDimensions(settings.raster);
        entry.width = size.width;
        entry.height = size.height;
        entry.keepAspect = settings.aspect == AspectMode::Keep;
    } else {
        entry.width = m_jobReceivedWidth;
        entry.height = m_jobReceivedHeight;
    }
    entry.result = m_jobResult;
    entry.message = m_jobResult == 0 ? std::string() : m_jobMessage;
    const int64_t frameBytes = int64_t{entry.width} * entry.height * 2;
    if (m_jobResult == 0)
        entry.bytes = entry.pair ? frameBytes * 2 : frameBytes;
    else
        entry.bytes = g_progressDone.load();
    entry.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(m_jobTime).count();
    m_journalProblem = m_journal.Append(entry);
}

void CImageToolDlg::ShowJournalProblem()
{
    const QString problem = QString::fromStdString(m_journalProblem);
    std::fprintf(stderr, "ImgCast: %s\n", qPrintable(problem));
    ShowStatus(m_status.isEmpty() ? problem
                                  : m_status + QString::fromUtf8(kNoticeSeparator) + problem);
}

void CImageToolDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (m_mode == 0 && !DroppedPicturePath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CImageToolDlg::dropEvent(QDropEvent* event)
{
    const QString path = DroppedPicturePath(event->mimeData());
    if (m_mode != 0 || path.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // Loading may show a message box; it waits until the drag-and-drop exchange has finished.
    QMetaObject::invokeMethod(
        this, [this, path] { LoadFromFile(path); }, Qt::QueuedConnection);
}
