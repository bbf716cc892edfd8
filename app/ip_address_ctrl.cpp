#include "app/ip_address_ctrl.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent)
    : QFrame(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* validator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int index = 0; index < 4; ++index) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("ipField%1").arg(index));
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setValidator(validator);
        field->setMaxLength(3);
        // A line edit keeps two pixels free on either side of its text, more than a field of a
        // 62-unit box can spare for three digits; the box spaces its fields itself.
        field->setTextMargins(-2, 0, -2, 0);
        field->setContentsMargins(0, 0, 0, 0);
        // The fields are see-through, so the box's own background and border show everywhere,
        // also where a fractional scale factor rounds a field onto the border.
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        field->setPalette(palette);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, index] { OnFieldEdited(index); });
        m_fields[index] = field;
        if (index > 0) QWidget::setTabOrder(m_fields[index - 1], field);
    }
    for (int index = 0; index < 3; ++index) {
        // Centred on the same line as the digits, so the dot sits on their baseline.
        auto* dot = new QLabel(QStringLiteral("."), this);
        dot->setAlignment(Qt::AlignCenter);
        dot->setAttribute(Qt::WA_TransparentForMouseEvents);
        m_dots[index] = dot;
    }
    // Tab from the window enters the first field; inside the box Tab and Shift+Tab move between
    // the fields, and leave it after the last and before the first.
    for (int index = 1; index < 4; ++index) m_fields[index]->setFocusPolicy(Qt::ClickFocus);
    setFocusProxy(m_fields[0]);
    LayoutFields();
}

void CIPAddressCtrl::SetAddress(uint8_t field0, uint8_t field1, uint8_t field2, uint8_t field3)
{
    const uint8_t values[4] = {field0, field1, field2, field3};
    for (int index = 0; index < 4; ++index)
        m_fields[index]->setText(QString::number(values[index]));
}

void CIPAddressCtrl::ClearAddress()
{
    for (QLineEdit* field : m_fields) field->clear();
}

bool CIPAddressCtrl::IsBlank() const
{
    for (const QLineEdit* field : m_fields) {
        if (!field->text().isEmpty()) return false;
    }
    return true;
}

int CIPAddressCtrl::GetAddress(std::array<uint8_t, 4>* address) const
{
    int filled = 0;
    for (int index = 0; index < 4; ++index) {
        const QString text = m_fields[index]->text();
        (*address)[index] = static_cast<uint8_t>(std::min(text.toInt(), 255));
        if (!text.isEmpty()) ++filled;
    }
    return filled;
}

bool CIPAddressCtrl::SetAddressText(const QString& text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    uint8_t values[4];
    for (int index = 0; index < 4; ++index) {
        bool ok = false;
        const int value = parts[index].toInt(&ok);
        if (!ok || value < 0 || value > 255 || parts[index].size() > 3) return false;
        values[index] = static_cast<uint8_t>(value);
    }
    SetAddress(values[0], values[1], values[2], values[3]);
    return true;
}

QString CIPAddressCtrl::AddressText() const
{
    QStringList parts;
    for (const QLineEdit* field : m_fields) parts << field->text();
    return parts.join(QLatin1Char('.'));
}

void CIPAddressCtrl::OnFieldEdited(int index)
{
    QLineEdit* field = m_fields[index];
    const QString text = field->text();
    if (text.toInt() > 255) {
        field->setText(QStringLiteral("255"));
        field->selectAll();
        return;
    }
    if (text.size() == 3 && field->cursorPosition() == 3 && index < 3) {
        FocusField(index + 1, false);
        m_advancedTo = index + 1;
    }
}

bool CIPAddressCtrl::OnSeparator(int index, bool tab)
{
    if (m_advancedTo == index) {
        // The operator typed the separator that the box has already acted on.
        m_advancedTo = -1;
        return true;
    }
    // A dot in an empty field stays there; Tab always moves on.
    if (index < 3 && (tab || !m_fields[index]->text().isEmpty())) FocusField(index + 1, false);
    return true;
}

void CIPAddressCtrl::FocusField(int index, bool atEnd)
{
    QLineEdit* field = m_fields[index];
    field->setFocus(Qt::OtherFocusReason);
    if (atEnd)
        field->end(false);
    else
        field->selectAll();
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event)
{
    int index = 0;
    while (index < 4 && m_fields[index] != watched) ++index;
    if (index == 4) return QFrame::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonPress ||
        (event->type() == QEvent::FocusOut && m_advancedTo == index))
        m_advancedTo = -1;
    if (event->type() == QEvent::FocusIn && index == 0 &&
        static_cast<QFocusEvent*>(event)->reason() == Qt::BacktabFocusReason) {
        // Shift+Tab from the control after the box enters it at its last field.
        m_fields[3]->setFocus(Qt::BacktabFocusReason);
        m_fields[3]->selectAll();
        return false;
    }
    if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    QLineEdit* field = m_fields[index];
    auto* key = static_cast<QKeyEvent*>(event);
    const bool separator = (key->key() == Qt::Key_Period || key->key() == Qt::Key_Space ||
                            key->key() == Qt::Key_Tab) &&
                           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (separator && (key->key() != Qt::Key_Tab || index < 3 || m_advancedTo == index))
        return OnSeparator(index, key->key() == Qt::Key_Tab);
    // Any other key ends the moment in which a separator is swallowed; modifier keys alone
    // do not, as a dot may need Shift on some layouts.
    if (key->key() != Qt::Key_Shift && key->key() != Qt::Key_AltGr) m_advancedTo = -1;
    if (key->matches(QKeySequence::Paste)) {
        if (SetAddressText(QApplication::clipboard()->text())) return true;
        return QFrame::eventFilter(watched, event);
    }
    switch (key->key()) {
        case Qt::Key_Backtab:
            if (index > 0) {
                FocusField(index - 1, false);
                return true;
            }
            break;
        case Qt::Key_Backspace:
            if (index > 0 && field->cursorPosition() == 0 && !field->hasSelectedText()) {
                FocusField(index - 1, true);
                return true;
            }
            break;
        case Qt::Key_Left:
            if (index > 0 && field->cursorPosition() == 0 && key->modifiers() == Qt::NoModifier) {
                FocusField(index - 1, true);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (index < 3 && field->cursorPosition() == field->text().size() &&
                key->modifiers() == Qt::NoModifier) {
                m_fields[index + 1]->setFocus(Qt::OtherFocusReason);
                m_fields[index + 1]->home(false);
                return true;
            }
            break;
        default:
            break;
    }
    return QFrame::eventFilter(watched, event);
}

void CIPAddressCtrl::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    LayoutFields();
}

void CIPAddressCtrl::changeEvent(QEvent* event)
{
    QFrame::changeEvent(event);
    if (event->type() == QEvent::FontChange) LayoutFields();
}

void CIPAddressCtrl::LayoutFields()
{
    // One pixel of air inside the border, so the first and last digits never touch it.
    const QRect inner = contentsRect().adjusted(1, 0, -1, 0);
    const int dotWidth = fontMetrics().horizontalAdvance(QLatin1Char('.')) + 1;
    const int fieldWidth = std::max(1, (inner.width() - 3 * dotWidth) / 4);
    const int extra = inner.width() - 3 * dotWidth - 4 * fieldWidth;
    int x = inner.left();
    for (int index = 0; index < 4; ++index) {
        const int width = fieldWidth + (index < extra ? 1 : 0);
        m_fields[index]->setGeometry(x, inner.top(), width, inner.height());
        x += width;
        if (index < 3) {
            m_dots[index]->setGeometry(x, inner.top(), dotWidth, inner.height());
            x += dotWidth;
        }
    }
}
