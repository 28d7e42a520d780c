#pragma once

#include <QString>
#include <QStringView>
#include <QStyle>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace dialogs {

// The kind of message a dialog carries; it picks the caption and the icon.
enum TMsgDlgType : std::uint8_t {
    mtWarning = 0,
    mtError = 1,
    mtInformation = 2,
    mtConfirmation = 3,
    mtCustom = 4,
};
inline constexpr int DialogTypeCount = 5;

// A button index; the order is also the left-to-right order on screen.
enum TMsgDlgBtn : std::uint8_t {
    mbYes = 0,
    mbNo,
    mbOK,
    mbCancel,
    mbAbort,
    mbRetry,
    mbIgnore,
    mbAll,
    mbNoToAll,
    mbYesToAll,
    mbHelp,
    mbClose,
};
inline constexpr int ButtonCount = 12;

// The stock glyph a button carries, in the order of the classic bitmap-button kinds.
enum TBitBtnKind : std::uint8_t {
    bkCustom = 0,
    bkOK,
    bkCancel,
    bkHelp,
    bkYes,
    bkNo,
    bkClose,
    bkAbort,
    bkRetry,
    bkIgnore,
    bkAll,
};

// A 16-bit set of buttons. Bit i asks for button i; bits 12 to 15 carry no button
// and are dropped, so a set made only of them counts as empty.
class TMsgDlgButtons {
public:
    constexpr TMsgDlgButtons() = default;
    constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
        for (TMsgDlgBtn b : buttons)
            m_bits = static_cast<std::uint16_t>(m_bits | bitOf(b));
    }
    static constexpr TMsgDlgButtons fromBits(std::uint16_t bits) {
        TMsgDlgButtons set;
        set.m_bits = static_cast<std::uint16_t>(bits & ValidMask);
        return set;
    }

    constexpr std::uint16_t bits() const { return m_bits; }
    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr bool contains(int index) const {
        return index >= 0 && index < ButtonCount && (m_bits & (1u << index)) != 0;
    }
    constexpr int count() const {
        int n = 0;
        for (int i = 0; i < ButtonCount; ++i)
            n += contains(i) ? 1 : 0;
        return n;
    }
    constexpr TMsgDlgButtons& operator<<(TMsgDlgBtn b) {
        m_bits = static_cast<std::uint16_t>(m_bits | bitOf(b));
        return *this;
    }
    friend constexpr bool operator==(TMsgDlgButtons, TMsgDlgButtons) = default;

private:
    static constexpr std::uint16_t ValidMask = 0x0FFF;
    static constexpr std::uint16_t bitOf(TMsgDlgBtn b) {
        return b < ButtonCount ? static_cast<std::uint16_t>(1u << b) : 0;
    }
    std::uint16_t m_bits = 0;
};

// Modal results, as the buttons report them. 0 leaves the dialog open.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2; // also the result of a dialog closed by the window system
inline constexpr int mrAbort = 3;
inline constexpr int mrRetry = 4;
inline constexpr int mrIgnore = 5;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;
inline constexpr int mrAll = 12;
inline constexpr int mrNoToAll = 13;
inline constexpr int mrYesToAll = 14;

// Vocabulary of the dialog types, indexed by TMsgDlgType. mtCustom has no title
// of its own (the application title is used) and no icon.
inline constexpr std::array<QStringView, DialogTypeCount> DialogTitleTexts = {
    u"Aviso", u"Falha", u"Informação", u"Confirmação", u""};

inline constexpr std::array<std::optional<QStyle::StandardPixmap>, DialogTypeCount> DialogIconIds =
    {QStyle::SP_MessageBoxWarning, QStyle::SP_MessageBoxCritical, QStyle::SP_MessageBoxInformation,
     QStyle::SP_MessageBoxQuestion, std::nullopt};

// Vocabulary of the buttons, indexed by TMsgDlgBtn. "&" marks the access key.
inline constexpr std::array<QStringView, ButtonCount> ButtonComponentNames = {
    u"Yes",    u"No",  u"OK",      u"Cancel",   u"Abort", u"Retry",
    u"Ignore", u"All", u"NoToAll", u"YesToAll", u"Help",  u"Close"};

inline constexpr std::array<QStringView, ButtonCount> ButtonCaptionTexts = {
    u"&Sim",           u"&Não",           u"&OK",      u"&Cancelar",
    u"&Abortar",       u"&Tentar",        u"&Ignorar", u"Todos",
    u"Não para todos", u"Sim para todos", u"&Ajuda",   u"Fechar"};

// "No" deliberately carries the abort glyph.
inline constexpr std::array<TBitBtnKind, ButtonCount> ButtonGlyphKinds = {
    bkYes,    bkAbort, bkOK,     bkCancel, bkAbort, bkRetry,
    bkIgnore, bkAll,   bkCustom, bkCustom, bkHelp,  bkCustom};

// Help and Close report 0, so pressing them does not end the dialog.
inline constexpr std::array<int, ButtonCount> ButtonResults = {
    mrYes, mrNo, mrOk, mrCancel, mrAbort, mrRetry, mrIgnore, mrAll, mrNoToAll, mrYesToAll, 0, 0};

// The dialogs' own picture of a button kind, from one drawn set (a resource path
// with a double-size variant beside it); empty for bkCustom.
QString GlyphResourceFor(TBitBtnKind kind);

// The picture a button shows: its kind's, and one of the same set for the buttons
// whose kind has none (the two "to all" buttons and Close), so every button has one.
QString ButtonGlyphResource(TMsgDlgBtn button);

} // namespace dialogs
