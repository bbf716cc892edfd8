#include "app/dialog_builder.h"

#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "app/ip_address_ctrl.h"

QPoint DialogBaseUnits(const QFont& font)
{
    // The average width of the 52 Latin letters, rounded to the nearest pixel, as the dialog
    // manager of the original platform measures it; the height is the font's line height.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QPoint((letters / 26 + 1) / 2, metrics.height());
}

QRect DialogUnitsToPixels(const QRect& dialogUnits, const QPoint& baseUnits)
{
    const int left = dialogUnits.x() * baseUnits.x() / 4;
    const int top = dialogUnits.y() * baseUnits.y() / 8;
    const int right = (dialogUnits.x() + dialogUnits.width()) * baseUnits.x() / 4;
    const int bottom = (dialogUnits.y() + dialogUnits.height()) * baseUnits.y() / 8;
    return QRect(left, top, right - left, bottom - top);
}

QFont DialogFont(const DialogTemplate& dialog)
{
    QFont font = QApplication::font();
    font.setPointSize(dialog.pointSize);
    return font;
}

namespace {

// A push button that stays down while checked. The platform style draws a checked button only a
// shade darker than a raised one, which is hard to tell apart at a glance, so a checked button is
// drawn in the selection colour with the selection's text colour.
class CPushLikeCheckBox : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        if (isChecked()) {
            const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
            option.palette.setColor(QPalette::Button, palette().color(group, QPalette::Highlight));
            option.palette.setColor(QPalette::ButtonText,
                                    palette().color(group, QPalette::HighlightedText));
        }
        painter.drawControl(QStyle::CE_PushButton, option);
    }
};

QWidget* CreateControl(QWidget* window, const ControlTemplate& control)
{
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
        case ControlKind::DefaultPushButton:
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, window);
            button->setAutoDefault(false);
            button->setDefault(control.kind == ControlKind::DefaultPushButton);
            return button;
        }
        case ControlKind::PushLikeCheckBox: {
            auto* button = new CPushLikeCheckBox(text, window);
            button->setCheckable(true);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::RadioButton: {
            // Plain radio buttons: the window's handlers set the checks of each group themselves.
            auto* radio = new QRadioButton(text, window);
            radio->setAutoExclusive(false);
            return radio;
        }
        case ControlKind::GroupBox: {
            // The caption sits on the frame's top line, so the frame encloses the rectangle the
            // template gives and the controls inside it keep their places.
            auto* box = new QGroupBox(text, window);
            box->setStyleSheet(QStringLiteral(
                "QGroupBox { border: 1px solid palette(mid); border-radius: 2px;"
                " margin-top: 0.5em; }"
                "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                " left: 5px; padding: 0px 2px; }"));
            return box;
        }
        case ControlKind::StaticText: {
            auto* label = new QLabel(text, window);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return label;
        }
        case ControlKind::BlackFrame: {
            auto* frame = new QFrame(window);
            frame->setFrameStyle(QFrame::Box | QFrame::Plain);
            frame->setLineWidth(1);
            QPalette palette = frame->palette();
            palette.setColor(QPalette::WindowText, Qt::black);
            frame->setPalette(palette);
            return frame;
        }
        case ControlKind::Icon: {
            // An icon control shows its icon at the icon's own size from its top-left corner.
            auto* label = new QLabel(window);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setPixmap(QPixmap(text));
            return label;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(text, window);
            edit->setReadOnly((control.style & kReadOnly) != 0);
            edit->setAlignment((control.style & kRightAlign) ? Qt::AlignRight | Qt::AlignVCenter
                                                             : Qt::AlignLeft | Qt::AlignVCenter);
            edit->setFrame((control.style & kBorder) != 0);
            edit->setTextMargins(0, 0, 0, 0);
            return edit;
        }
        case ControlKind::IpAddress:
            return new CIPAddressCtrl(window);
    }
    return nullptr;
}

}  // namespace

std::map<int, QWidget*> BuildDialog(QWidget* window, const DialogTemplate& dialog)
{
    const QFont font = DialogFont(dialog);
    window->setFont(font);
    const QPoint base = DialogBaseUnits(font);
    window->setFixedSize(
        DialogUnitsToPixels(QRect(0, 0, dialog.width, dialog.height), base).size());
    if (dialog.caption) window->setWindowTitle(QString::fromUtf8(dialog.caption));

    std::map<int, QWidget*> byId;
    std::vector<QWidget*> created;
    QWidget* previousTabStop = nullptr;
    for (int index = 0; index < dialog.controlCount; ++index) {
        const ControlTemplate& control = dialog.controls[index];
        QWidget* widget = CreateControl(window, control);
        widget->setObjectName(QString::fromUtf8(control.objectName));
        widget->setProperty("controlId", control.id);
        widget->setProperty("groupStart", (control.style & kGroupStart) != 0);
        widget->setGeometry(
            DialogUnitsToPixels(QRect(control.x, control.y, control.width, control.height), base));
        widget->setEnabled((control.style & kDisabled) == 0);
        widget->setVisible((control.style & kHidden) == 0);
        if (control.style & kTabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else if (control.kind == ControlKind::RadioButton) {
            // In the chain at its place, but reached by Tab only once the window has made it the
            // tab stop of its group.
            widget->setFocusPolicy(Qt::ClickFocus);
            if (previousTabStop) QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else if (control.kind == ControlKind::StaticText || control.kind == ControlKind::Icon ||
                   control.kind == ControlKind::GroupBox ||
                   control.kind == ControlKind::BlackFrame) {
            widget->setFocusPolicy(Qt::NoFocus);
        } else {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
        if (control.id != kStaticId) byId[control.id] = widget;
        created.push_back(widget);
    }
    // Template order is stacking order from the top: group boxes follow the radio buttons they
    // surround and must not cover them.
    for (auto it = created.rbegin(); it != created.rend(); ++it) (*it)->raise();
    return byId;
}

CAccessKeyStyle::CAccessKeyStyle()
    : QProxyStyle(QApplication::style()->name())
{
}

int CAccessKeyStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                               QStyleHintReturn* returnData) const
{
    if (hint == SH_UnderlineShortcut && !m_revealed) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}
