#include "client/ui/tag_button_model.h"

#include <gtest/gtest.h>

namespace {

using namespace GUI;
using T = TagState;

constexpr int kIn = 20;    // inside the button at (11,11)-(99,41)
constexpr int kOut = 200;  // outside

CTagButtonModel ButtonIn(T state)
{
    CTagButtonModel b;
    b.SetRect({11, 11, 99, 41});
    b.SetState(state);
    return b;
}

TEST(TagButtonMouse, TransitionTable)
{
    const struct {
        T from;
        TagMouse mouse;
        int x;
        T to;
        bool notify;
        bool repaint;
    } cases[] = {
        {T::Selected, TagMouse::Move, kIn, T::Selected, false, false},
        {T::Selected, TagMouse::Move, kOut, T::Selected, false, false},
        {T::Pressed, TagMouse::Move, kIn, T::Selected, true, true},
        {T::Pressed, TagMouse::Move, kOut, T::Selected, true, true},
        {T::Normal, TagMouse::Move, kIn, T::Hover, false, true},
        {T::Hover, TagMouse::Move, kIn, T::Hover, false, false},
        {T::Hover, TagMouse::Move, kOut, T::Normal, false, true},
        {T::Normal, TagMouse::Move, kOut, T::Normal, false, false},
        {T::Hover, TagMouse::Down, kIn, T::Pressed, false, true},
        {T::Pressed, TagMouse::Down, kIn, T::Pressed, false, false},
        {T::Selected, TagMouse::Down, kIn, T::Pressed, false, true},
        {T::Hover, TagMouse::Down, kOut, T::Normal, false, true},
        {T::Pressed, TagMouse::Down, kOut, T::Normal, false, true},
        {T::Selected, TagMouse::Down, kOut, T::Selected, false, false},
        {T::Normal, TagMouse::Down, kOut, T::Normal, false, false},
        {T::Pressed, TagMouse::Up, kIn, T::Selected, true, true},
        {T::Hover, TagMouse::Up, kIn, T::Selected, true, true},
        {T::Selected, TagMouse::Up, kIn, T::Selected, false, false},
        {T::Pressed, TagMouse::Up, kOut, T::Pressed, false, false},
        {T::Hover, TagMouse::Other, kIn, T::Hover, false, false},
    };
    for (const auto& c : cases) {
        CTagButtonModel b = ButtonIn(c.from);
        TagEffect e = b.OnMouse(c.mouse, c.x, 20);
        SCOPED_TRACE(testing::Message() << "from " << static_cast<int>(c.from) << " mouse "
                                        << static_cast<int>(c.mouse) << " x " << c.x);
        EXPECT_EQ(b.state(), c.to);
        EXPECT_EQ(e.notify, c.notify);
        EXPECT_EQ(e.repaint, c.repaint);
    }
}

TEST(TagButtonMouse, PressAndOnePixelSelectsBeforeTheRelease)
{
    CTagButtonModel b = ButtonIn(T::Normal);
    b.OnMouse(TagMouse::Move, 50, 20);
    b.OnMouse(TagMouse::Down, 50, 20);
    TagEffect e = b.OnMouse(TagMouse::Move, 51, 20);
    EXPECT_TRUE(e.notify);
    EXPECT_EQ(b.state(), T::Selected);
    EXPECT_FALSE(b.OnMouse(TagMouse::Up, 51, 20).notify) << "the release adds nothing";
}

TEST(TagButtonMouse, EdgesFollowThePlatformsPointTest)
{
    CTagButtonModel b = ButtonIn(T::Normal);
    b.OnMouse(TagMouse::Move, 11, 11);
    EXPECT_EQ(b.state(), T::Hover);
    b.OnMouse(TagMouse::Move, 99, 20);
    EXPECT_EQ(b.state(), T::Normal) << "the right edge is outside";
    b.OnMouse(TagMouse::Move, 20, 41);
    EXPECT_EQ(b.state(), T::Normal) << "the bottom edge is outside";
}

TEST(TagButtonSetState, SelectedNotifiesEveryTimeRepaintsOnChange)
{
    CTagButtonModel b = ButtonIn(T::Normal);
    TagEffect first = b.SetState(T::Selected);
    EXPECT_TRUE(first.notify);
    EXPECT_TRUE(first.repaint);
    TagEffect again = b.SetState(T::Selected);
    EXPECT_TRUE(again.notify);
    EXPECT_FALSE(again.repaint);
    TagEffect normal = b.SetState(T::Normal);
    EXPECT_FALSE(normal.notify);
    EXPECT_TRUE(normal.repaint);
    EXPECT_FALSE(b.SetState(T::Normal).repaint);
}

TEST(TagButtonPaint, OnlyPressedAndSelectedAreFilled)
{
    const struct {
        T state;
        bool fills;
        bool white;
    } cases[] = {{T::Normal, false, false}, {T::Hover, false, false}, {T::Pressed, true, false},
                 {T::Selected, true, true}};
    for (const auto& c : cases) {
        CTagButtonModel b = ButtonIn(c.state);
        EXPECT_EQ(b.FillsRect(), c.fills);
        EXPECT_EQ(b.HasWhiteText(), c.white);
    }
}

TEST(TagButtonMessages, MouseMessagesAndCursorPosition)
{
    EXPECT_EQ(TagMouseFromMessage(0x0200), TagMouse::Move);
    EXPECT_EQ(TagMouseFromMessage(0x0201), TagMouse::Down);
    EXPECT_EQ(TagMouseFromMessage(0x0202), TagMouse::Up);
    EXPECT_EQ(TagMouseFromMessage(0x0400 + 1), TagMouse::Other);
    EXPECT_EQ(CursorX(0x0014FFFEu), -2) << "x is a signed low word";
    EXPECT_EQ(CursorY(0xFFF60005u), -10) << "y is a signed high word";
    EXPECT_EQ(CursorX(0x00140005u), 5);
    EXPECT_EQ(CursorY(0x00140005u), 20);
}

}  // namespace
