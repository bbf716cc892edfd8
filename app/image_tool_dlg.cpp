#include "app/image_tool_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QColorDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <system_error>

#include "app/ip_address_ctrl.h"
#include "app/transfer_progress_dlg.h"
#include "app/window_templates.h"
#include "link/progress.h"

namespace {

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

// The radio groups, each in the order the jobs test them.
constexpr int kSizeRadios[] = {1002, 1003, 1004, 1005};
constexpr OutputRaster kSizeRasters[] = {OutputRaster::HD1080, OutputRaster::HD720,
                                         OutputRaster::SD480, OutputRaster::SD576};
constexpr int kAspectRadios[] = {1012, 1013};
constexpr int kTargetRadios[] = {1019, 1020};

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
    m_previewFrame = static_cast<QFrame*>(m_controls.at(1007));
    m_previewFrame->installEventFilter(this);
    // Only the window itself takes dropped picture files; the address fields would take the
    // file's name as text.
    setAcceptDrops(true);
    for (int index = 0; index < 4; ++index) IpAddress()->Field(index)->setAcceptDrops(false);
    setWindowIcon(QIcon(QStringLiteral(":/icons/icon128.png")));
    ConnectHandlers();
    // Enter and Escape are swallowed before any control of this window sees them.
    qApp->installEventFilter(this);
}

CImageToolDlg::~CImageToolDlg()
{
    qApp->removeEventFilter(this);
    JoinWorker();
}

bool CImageToolDlg::OnInitDialog(BindFunction bind)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/icon128.png"));
    icon.addFile(QStringLiteral(":/icons/icon128-256.png"));
    setWindowIcon(icon);
    PushDataToControls();  // Width and Height show 0 until a picture arrives
    m_blank = BlankColor{0, 0, 0};
    SetCheck(1002, true);
    SetCheck(1012, true);
    SetCheck(1019, true);
    IpAddress()->SetAddress(192, 168, 0, 10);
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
    connect(Button(1), &QAbstractButton::clicked, this, &QDialog::accept);
    for (int id : kSizeRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnSizeRadio(id); });
    for (int id : kAspectRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnAspectRadio(id); });
    for (int id : kTargetRadios)
        connect(Button(id), &QAbstractButton::clicked, this, [this, id] { OnTargetRadio(id); });
    connect(Button(1021), &QAbstractButton::clicked, this, &CImageToolDlg::OnRgba);
    connect(Button(1022), &QAbstractButton::clicked, this, &CImageToolDlg::OnDisplayAlpha);
    connect(Button(1014), &QAbstractButton::clicked, this, &CImageToolDlg::OnBlankColor);
    connect(Button(1015), &QAbstractButton::clicked, this, &CImageToolDlg::OnModeToggle);
    connect(Button(1000), &QAbstractButton::clicked, this, &CImageToolDlg::OnImageButton);
    connect(Button(1006), &QAbstractButton::clicked, this, &CImageToolDlg::OnTransferButton);
}

QWidget* CImageToolDlg::Control(int id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QAbstractButton* CImageToolDlg::Button(int id) const
{
    return qobject_cast<QAbstractButton*>(Control(id));
}

CIPAddressCtrl* CImageToolDlg::IpAddress() const
{
    return static_cast<CIPAddressCtrl*>(Control(1001));
}

void CImageToolDlg::SetCheck(int id, bool checked)
{
    Button(id)->setChecked(checked);
}

bool CImageToolDlg::IsChecked(int id) const
{
    return Button(id)->isChecked();
}

void CImageToolDlg::SetEnabled(int id, bool enabled)
{
    Control(id)->setEnabled(enabled);
}

void CImageToolDlg::OnSizeRadio(int id)
{
    for (int radio : kSizeRadios) SetCheck(radio, radio == id);
}

void CImageToolDlg::OnAspectRadio(int id)
{
    for (int radio : kAspectRadios) SetCheck(radio, radio == id);
}

void CImageToolDlg::OnTargetRadio(int id)
{
    for (int radio : kTargetRadios) SetCheck(radio, radio == id);
}

void CImageToolDlg::OnRgba()
{
    // A colour/alpha pair always fills both memories, so the target radios have no say.
    const bool pair = IsChecked(1021);
    SetEnabled(1019, !pair);
    SetEnabled(1020, !pair);
}

void CImageToolDlg::OnDisplayAlpha()
{
    m_showAlpha = IsChecked(1022) ? 1 : 0;
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
    }
}

void CImageToolDlg::OnModeToggle()
{
    m_mode = 1 - m_mode;
    const bool receiving = m_mode == 1;
    if (receiving) {
        SetEnabled(1019, true);
        SetEnabled(1020, true);
        SetEnabled(1021, false);
        SetEnabled(1022, false);
    } else {
        const bool pair = IsChecked(1021);
        SetEnabled(1019, !pair);
        SetEnabled(1020, !pair);
        if (m_hasAlpha) {
            SetEnabled(1021, true);
            SetEnabled(1022, true);
        }
    }
    Button(1015)->setText(QString::fromUtf8(receiving ? kModeButtonReceiving : kModeButtonSending));
    Button(1006)->setText(
        QString::fromUtf8(receiving ? kTransferButtonReceiving : kTransferButtonSending));
    Button(1000)->setText(
        QString::fromUtf8(receiving ? kImageButtonReceiving : kImageButtonSending));
    for (int id : {1017, 1016, 1002, 1003, 1004, 1005, 1012, 1013}) SetEnabled(id, !receiving);
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
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void CImageToolDlg::OnSelectImage()
{
    const QString path = AskFilePath(false);
    if (path.isEmpty()) return;
    LoadFromFile(path);
}

bool CImageToolDlg::LoadFromFile(const QString& path)
{
    SetCheck(1022, false);
    const QByteArray encoded = QFile::encodeName(path);
    if (LoadPicture(encoded.constData()) != 0) {
        // The failed load left no picture: the boxes and the preview say so at once.
        m_width = 0;
        m_height = 0;
        PushDataToControls();
        update();
        m_previewFrame->update();
        ShowMessage(this, QString::fromUtf8(kFileReadError));
        return false;
    }
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
    if (loaded->HasAlpha()) {
        m_hasAlpha = 1;
        SetEnabled(1021, true);
        SetEnabled(1022, true);
    } else {
        SetCheck(1022, false);
        SetCheck(1021, false);
        SetEnabled(1019, true);
        SetEnabled(1020, true);
        SetEnabled(1021, false);
        SetEnabled(1022, false);
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
    static_cast<QLineEdit*>(Control(1008))->setText(QString::number(m_width));
    static_cast<QLineEdit*>(Control(1009))->setText(QString::number(m_height));
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
    settings.aspect = Button(1013)->isChecked() ? AspectMode::Keep : AspectMode::Full;
    settings.rgbaPair = Button(1021)->isChecked();
    settings.fmem1 = Button(1019)->isChecked();
    settings.blank = m_blank;
    settings.link.port = m_switcherPort;
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
    if (m_mode == 1) {
        g_progressDirection = 0;
        if (StartWorker([this, settings] { RunReceiveJob(settings); })) {
            progress.exec();
            JoinWorker();
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
    if (!StartWorker([this, settings, picture] { RunSendJob(settings, picture); })) {
        ShowMessage(this, QString::fromUtf8(kMemoryAllocationError));
        return;
    }
    progress.exec();
    JoinWorker();
}

void CImageToolDlg::RunSendJob(const JobSettings& settings, std::shared_ptr<const Picture> picture)
{
    CTransferJob job(settings, *this);
    job.RunSendJob(std::move(picture));
}

void CImageToolDlg::RunReceiveJob(const JobSettings& settings)
{
    CTransferJob job(settings, *this);
    job.RunReceiveJob();
}

void CImageToolDlg::ShowMessage(const char* text)
{
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
    SetCheck(1022, false);
    SetCheck(1021, false);
    m_picture = std::move(picture);
    m_width = m_picture->width;
    m_height = m_picture->height;
    m_previewFrame->update();
}

bool CImageToolDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_previewFrame && event->type() == QEvent::Paint) {
        PaintPreview();
        return true;
    }
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
                event->accept();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CImageToolDlg::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CImageToolDlg::PaintPreview()
{
    QPainter painter(m_previewFrame);
    const QRect client = m_previewFrame->rect();
    painter.setPen(Qt::black);
    painter.drawRect(client.adjusted(0, 0, -1, -1));
    if (!m_picture || isMinimized()) return;
    const QRect target(1, 1, client.width() - 2, client.height() - 2);
    if (target.width() <= 0 || target.height() <= 0) return;
    const bool alpha = m_showAlpha && m_picture->HasAlpha();
    if (m_previewPicture != m_picture || m_previewAlpha != alpha ||
        m_previewImage.size() != target.size()) {
        const PlaneBytes& plane = alpha ? m_picture->alpha : m_picture->colour;
        // The planes hold blue, green, red bytes in rows of `stride` bytes, top row first.
        const QImage source(plane.data(), m_picture->width, m_picture->height, m_picture->stride,
                            QImage::Format_BGR888);
        // Area-averaging downscale (and smooth upscale), ignoring the picture's aspect ratio:
        // the preview always fills the frame.
        m_previewImage =
            source.scaled(target.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_previewPicture = m_picture;
        m_previewAlpha = alpha;
    }
    painter.drawImage(target.topLeft(), m_previewImage);
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
