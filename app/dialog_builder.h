// Window templates as data, and the one builder that turns a template into Qt widgets.
//
// A template gives every control its identifier, kind, text, object name, rectangle in dialog
// units and style flags, in template order (which is also the keyboard order). Dialog units are
// converted to pixels through the base units of the template's font, so the layout keeps its
// proportions at any resolution and with any substitute font:
//   x_px = x_du * baseX / 4,  y_px = y_du * baseY / 8
// where baseX is the average character width of the font and baseY its height.
#pragma once

#include <map>

#include <QFont>
#include <QPoint>
#include <QProxyStyle>
#include <QRect>
#include <QString>

class QWidget;

enum class ControlKind {
    DefaultPushButton,
    PushButton,
    PushLikeCheckBox,
    RadioButton,
    GroupBox,
    StaticText,
    BlackFrame,
    Icon,
    Edit,
    IpAddress,
};

// Style flags of a control.
enum ControlStyle : unsigned {
    kTabStop = 1u << 0,
    kGroupStart = 1u << 1,
    kHidden = 1u << 2,
    kDisabled = 1u << 3,
    kReadOnly = 1u << 4,
    kRightAlign = 1u << 5,
    kBorder = 1u << 6,
};

// Identifier of controls the program never addresses (static texts, unnumbered group boxes).
inline constexpr int kStaticId = -1;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;         // for ControlKind::Icon the resource path of the icon
    const char* objectName;   // unique within the window; tests find controls by it
    int x, y, width, height;  // dialog units
    unsigned style;
};

struct DialogTemplate {
    int width, height;  // dialog units
    const char* fontFamily;
    int pointSize;
    const char* caption;
    const ControlTemplate* controls;
    int controlCount;
};

// Dialog base units of a font: average character width and character height in pixels.
QPoint DialogBaseUnits(const QFont& font);

// The pixel rectangle of a dialog-unit rectangle for the given base units.
QRect DialogUnitsToPixels(const QRect& dialogUnits, const QPoint& baseUnits);

// The font a template asks for. The named family is rarely installed outside its home platform,
// so the application's own sans-serif face stands in for it at the same point size.
QFont DialogFont(const DialogTemplate& dialog);

// Creates the controls of `dialog` as children of `window`, sets the window's font and fixed
// client size, and returns the numbered controls by identifier. Controls are stacked so that
// earlier ones lie above later ones, and tab order follows template order over the controls
// with a tab stop and the radio buttons. Radio buttons take focus by mouse until the window makes
// one of each group its tab stop; static texts, icons, frames and group boxes take no focus.
std::map<int, QWidget*> BuildDialog(QWidget* window, const DialogTemplate& dialog);

// Push-button style that shows the underlined access letters of the button texts only while Alt
// is held, as the platform's dialogs of the program's home did: the texts look as written, and
// Alt+letter presses the button all the same.
class CAccessKeyStyle : public QProxyStyle {
  public:
    CAccessKeyStyle();
    void SetRevealed(bool revealed) { m_revealed = revealed; }
    bool Revealed() const { return m_revealed; }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override;

  private:
    bool m_revealed = false;
};
