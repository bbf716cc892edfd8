// An IPv4 address box of four fields, as operators know it from switcher set-up tools: digits
// only, each field 0 to 255, the cursor moves on after three digits, a dot, a space or Tab,
// Backspace at the start of a field goes back to the previous one, and a pasted dotted address
// fills all four. A separator typed right after the box has moved on by itself is swallowed, so
// "127.0.0.1" typed over a full box lands in the four fields it names.
#pragma once

#include <array>
#include <cstdint>

#include <QFrame>

class QLabel;
class QLineEdit;

class CIPAddressCtrl : public QFrame {
    Q_OBJECT
  public:
    explicit CIPAddressCtrl(QWidget* parent = nullptr);

    void SetAddress(uint8_t field0, uint8_t field1, uint8_t field2, uint8_t field3);
    void ClearAddress();
    // True when all four fields are empty.
    bool IsBlank() const;
    // Writes the four fields (an empty field reads as 0) and returns how many are not empty.
    int GetAddress(std::array<uint8_t, 4>* address) const;
    // Parses "a.b.c.d" into the fields; returns false (and changes nothing) if it is no address.
    bool SetAddressText(const QString& text);
    QString AddressText() const;

    QLineEdit* Field(int index) const { return m_fields[index]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void OnFieldEdited(int index);
    void FocusField(int index, bool atEnd);
    void LayoutFields();
    // A dot, space or Tab in field `index`: moves on or is swallowed; true when it was taken.
    bool OnSeparator(int index, bool tab);

    std::array<QLineEdit*, 4> m_fields{};
    std::array<QLabel*, 3> m_dots{};
    // The field the box has just moved to after three digits, until the next key or click;
    // -1 when none.
    int m_advancedTo = -1;
};
