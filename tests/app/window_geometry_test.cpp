// What the operator sees of the main window, at the scale factor the test runs with (ctest runs
// it at 1, 1.5 and 2 through QT_SCALE_FACTOR): every control inside the window, no two visible
// controls on top of each other (a group box and its members aside), the texts fitting their
// controls, the keyboard order that of the layout, and in the drawn pixels the preview's and the
// address box's borders whole, the digits clear of the border and a checked push-like button
// plainly told apart from an unchecked one.
#include <cmath>

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include "app/image_tool_dlg.h"
#include "app/ip_address_ctrl.h"
#include "app/window_templates.h"
#include "tests/app/app_test_support.h"

namespace {

// The template's controls as created, with the template's rows.
struct PlacedControl {
    const ControlTemplate* row;
    QWidget* widget;
};

QList<PlacedControl> PlacedControls(const CImageToolDlg& dialog)
{
    QList<PlacedControl> placed;
    const DialogTemplate& main = MainWindowTemplate();
    for (int index = 0; index < main.controlCount; ++index) {
        const ControlTemplate& row = main.controls[index];
        auto* widget = dialog.findChild<QWidget*>(QString::fromUtf8(row.objectName));
        if (!widget) qFatal("no control %s", row.objectName);
        placed.push_back({&row, widget});
    }
    return placed;
}

int Luma(QRgb pixel)
{
    return (qRed(pixel) * 299 + qGreen(pixel) * 587 + qBlue(pixel) * 114) / 1000;
}

// The device-pixel rectangle that `logical` (in the window's coordinates) covers in a grab.
QRect DeviceRect(const QRect& logical, qreal ratio)
{
    const int left = int(std::floor(logical.left() * ratio));
    const int top = int(std::floor(logical.top() * ratio));
    const int right = int(std::ceil((logical.right() + 1) * ratio)) - 1;
    const int bottom = int(std::ceil((logical.bottom() + 1) * ratio)) - 1;
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

QImage GrabWindow(CImageToolDlg& dialog)
{
    return dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

class GeometryTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void ScaleFactorIsTheOneAskedFor()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        const QByteArray asked = qgetenv("QT_SCALE_FACTOR");
        const qreal expected = asked.isEmpty() ? 1.0 : asked.toDouble();
        QCOMPARE(dialog->devicePixelRatioF(), expected);
    }

    void EveryControlLiesInsideTheWindow()
    {
        auto dialog = OpenMainWindow();
        const QRect window = dialog->rect();
        for (const PlacedControl& control : PlacedControls(*dialog)) {
            if (control.widget->isHidden()) continue;
            QVERIFY2(window.contains(control.widget->geometry()), control.row->objectName);
        }
    }

    void VisibleControlsDoNotOverlap()
    {
        auto dialog = OpenMainWindow();
        const QList<PlacedControl> placed = PlacedControls(*dialog);
        for (int first = 0; first < placed.size(); ++first) {
            for (int second = first + 1; second < placed.size(); ++second) {
                const PlacedControl& a = placed[first];
                const PlacedControl& b = placed[second];
                if (a.widget->isHidden() || b.widget->isHidden()) continue;
                const QRect ra = a.widget->geometry();
                const QRect rb = b.widget->geometry();
                if (!ra.intersects(rb)) continue;
                // A group box holds its members whole.
                const bool member = (a.row->kind == ControlKind::GroupBox && ra.contains(rb)) ||
                                    (b.row->kind == ControlKind::GroupBox && rb.contains(ra));
                QVERIFY2(member, qPrintable(QStringLiteral("%1 overlaps %2")
                                                .arg(QString::fromUtf8(a.row->objectName),
                                                     QString::fromUtf8(b.row->objectName))));
            }
        }
    }

    void TextsFitTheirControls()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        const QFontMetrics metrics(dialog->font());
        for (const PlacedControl& control : PlacedControls(*dialog)) {
            QWidget* widget = control.widget;
            const char* name = control.row->objectName;
            if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
                QStyleOptionButton option;
                option.initFrom(radio);
                const int indicator =
                    radio->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, &option, radio);
                const int spacing =
                    radio->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, &option, radio);
                QVERIFY2(indicator + spacing + metrics.horizontalAdvance(ShownText(radio)) <=
                             radio->width(),
                         name);
                QVERIFY2(metrics.height() <= radio->height(), name);
            } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                // Both texts of a mode-dependent button, with a few pixels of bevel each side.
                QStringList texts = {ShownText(button)};
                if (button == dialog->Button(kIdcModeButton)) texts << QStringLiteral("From QX700");
                if (button == dialog->Button(kIdcImageButton))
                    texts << QStringLiteral("Save Image");
                for (const QString& text : texts)
                    QVERIFY2(metrics.horizontalAdvance(text) + 6 <= button->width(), name);
                QVERIFY2(metrics.height() + 2 <= button->height(), name);
            } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
                QVERIFY2(metrics.horizontalAdvance(box->title()) + 10 <= box->width(), name);
            } else if (auto* label = qobject_cast<QLabel*>(widget)) {
                QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(), name);
                QVERIFY2(metrics.height() <= label->height() + 1, name);
            } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
                // The widest size the boxes show.
                QVERIFY2(metrics.horizontalAdvance(QStringLiteral("1920")) + 6 <= edit->width(),
                         name);
            }
        }
        CIPAddressCtrl* address = dialog->IpAddress();
        for (int index = 0; index < 4; ++index)
            QVERIFY(metrics.horizontalAdvance(QStringLiteral("255")) + 1 <=
                    address->Field(index)->width());
    }

    void KeyboardOrderIsTheTemplateOrder()
    {
        auto dialog = OpenMainWindow();
        // Every control that takes focus comes later in the focus chain than the one before it
        // in the template.
        QList<QWidget*> chain;
        QWidget* start = dialog->Control(kIdcClose);
        QWidget* walk = start;
        do {
            chain << walk;
            walk = walk->nextInFocusChain();
        } while (walk != start && chain.size() < 500);
        int last = -1;
        for (const PlacedControl& control : PlacedControls(*dialog)) {
            QWidget* widget = control.widget;
            if (widget->focusPolicy() == Qt::NoFocus) continue;
            if (widget->focusProxy()) widget = widget->focusProxy();
            const int at = chain.indexOf(widget);
            QVERIFY2(at > last, control.row->objectName);
            last = at;
        }
    }

    void PreviewBorderIsWholeOverAPicture()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(WriteUniformPicture(m_dir, QStringLiteral("white.png"), 64, 36,
                                                         QColor(255, 255, 255))));
        const QImage shot = GrabWindow(*dialog);
        const QRect frame =
            DeviceRect(dialog->Control(kIdcPreviewFrame)->geometry(), dialog->devicePixelRatioF());
        // Along each side, one of the two outermost device pixels is the black line.
        auto darkest = [&](QPoint a, QPoint b) {
            return std::min(Luma(shot.pixel(a)), Luma(shot.pixel(b)));
        };
        for (int step = 1; step < 8; ++step) {
            const int x = frame.left() + frame.width() * step / 8;
            const int y = frame.top() + frame.height() * step / 8;
            QVERIFY2(darkest({x, frame.top()}, {x, frame.top() + 1}) < 40, "top");
            QVERIFY2(darkest({x, frame.bottom()}, {x, frame.bottom() - 1}) < 40, "bottom");
            QVERIFY2(darkest({frame.left(), y}, {frame.left() + 1, y}) < 40, "left");
            QVERIFY2(darkest({frame.right(), y}, {frame.right() - 1, y}) < 40, "right");
        }
        // And inside it, the picture.
        QCOMPARE(Luma(shot.pixel(frame.center())), 255);
    }

    void AddressBoxBorderIsWholeAndDigitsKeepClearOfIt()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        CIPAddressCtrl* address = dialog->IpAddress();
        QVERIFY(address->SetAddressText(QStringLiteral("192.168.100.200")));
        // Cut from the whole window: at a fractional scale factor the box starts between device
        // pixels, which is where fields used to round onto its border.
        const QImage box =
            GrabWindow(*dialog).copy(DeviceRect(address->geometry(), dialog->devicePixelRatioF()));
        const int width = box.width();
        const int height = box.height();
        // The border looks the same under the fields and under the dots: each of the three
        // outermost device rows at the top and the bottom has one colour along the box.
        for (int row = 0; row < 3; ++row) {
            for (const int y : {row, height - 1 - row}) {
                int lightest = 0;
                int darkest = 255;
                for (int x = width / 16; x < width - width / 16; ++x) {
                    lightest = std::max(lightest, Luma(box.pixel(x, y)));
                    darkest = std::min(darkest, Luma(box.pixel(x, y)));
                }
                QVERIFY2(lightest - darkest <= 24, qPrintable(QStringLiteral("row %1").arg(y)));
            }
        }
        // Between the left border and the first digit, and the last digit and the right border,
        // at least one device column is clear background.
        auto columnIsText = [&](int x) {
            for (int y = height / 4; y < height * 3 / 4; ++y)
                if (Luma(box.pixel(x, y)) < 110) return true;
            return false;
        };
        auto columnIsBackground = [&](int x) {
            for (int y = height / 4; y < height * 3 / 4; ++y)
                if (Luma(box.pixel(x, y)) < 235) return false;
            return true;
        };
        int first = 0;
        while (first < width && !columnIsText(first)) ++first;
        int last = width - 1;
        while (last > 0 && !columnIsText(last)) --last;
        QVERIFY(first < last);
        bool clearLeft = false;
        for (int x = 0; x < first; ++x) clearLeft |= columnIsBackground(x);
        bool clearRight = false;
        for (int x = last + 1; x < width; ++x) clearRight |= columnIsBackground(x);
        QVERIFY2(clearLeft, "the first digit touches the border");
        QVERIFY2(clearRight, "the last digit touches the border");
    }

    void CheckedPushLikeButtonsStandOut()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("alpha.png"), 8, 8, QColor(1, 2, 3), 100)));
        for (ControlId id : {kIdcRgba, kIdcDisplayAlpha}) {
            QAbstractButton* button = dialog->Button(id);
            const QImage up = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
            button->click();
            QVERIFY(button->isChecked());
            const QImage down = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
            button->click();
            // The face changes colour by a good part of the range: the summed difference of the
            // three channels averages at least 150 of 765.
            qint64 difference = 0;
            qint64 count = 0;
            for (int y = up.height() / 4; y < up.height() * 3 / 4; ++y) {
                for (int x = up.width() / 8; x < up.width() * 7 / 8; ++x) {
                    const QRgb a = up.pixel(x, y);
                    const QRgb b = down.pixel(x, y);
                    difference += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                                  std::abs(qBlue(a) - qBlue(b));
                    ++count;
                }
            }
            QVERIFY2(difference / count >= 150, qPrintable(QString::number(difference / count)));
        }
    }

  private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(GeometryTest)
#include "window_geometry_test.moc"
