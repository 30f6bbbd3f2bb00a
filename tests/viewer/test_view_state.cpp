// The view's state driven without a display: where a fitted image lands at each turn, the zoom
// steps taken from fit, the pan kept inside the edges, and the centre kept across mirrors and
// turns. Every expected figure is worked out by hand from a 400 x 300 frame.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "viewer/view_state.h"

namespace {

constexpr Frame frame{400, 300};

ViewState fresh() {
  ViewState view;
  view.frame = frame;
  return view;
}

TEST(ViewState, FittedImageIsCentredAtEveryTurn) {
  // 100 x 50 fits as 400 x 200 upright, as 300 x 150 on its side (shown 150 x 300).
  struct Case {
    int rotation;
    std::uint64_t width, height;
    std::int64_t x, y;
  };
  const Case cases[] = {
      {0, 400, 200, 0, -50}, {1, 150, 300, -125, 0}, {2, 400, 200, 0, -50}, {3, 150, 300, -125, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rotation);
    ViewState view = fresh();
    view.rotation = c.rotation;
    const Layout l = view_layout(view, {100, 50});
    EXPECT_EQ(l.scaled_width, c.width);
    EXPECT_EQ(l.scaled_height, c.height);
    EXPECT_EQ(l.x, c.x);
    EXPECT_EQ(l.y, c.y);
  }
}

TEST(ViewState, ZoomStepsFromFit) {
  // 1000 x 500 fits at 40%; 100 x 50 at 400%; 400 x 300 fits exactly at 100%.
  struct Case {
    Size full;
    Action action;
    int percent;
  };
  const Case cases[] = {
      {{1000, 500}, Action::zoom_in, 50},  {{1000, 500}, Action::zoom_out, 33},
      {{100, 50}, Action::zoom_in, 600},   {{100, 50}, Action::zoom_out, 300},
      {{400, 300}, Action::zoom_in, 150},  {{400, 300}, Action::zoom_out, 67},
      {{8000, 6000}, Action::zoom_out, 0}, {{1000, 500}, Action::actual_size, 100}};
  for (const Case& c : cases) {
    ViewState view = fresh();
    apply_action(view, c.action, &c.full);
    EXPECT_EQ(zoom_percent(view.zoom), c.percent) << c.full.width << "x" << c.full.height;
  }
  // Without the image's size a zoom step waits; fit needs none.
  ViewState view = fresh();
  apply_action(view, Action::zoom_in, nullptr);
  EXPECT_EQ(view.zoom, fit_zoom);
}

TEST(ViewState, PanStaysInsideTheEdgesAndCentresTheShortAxis) {
  // 1000 x 100 at actual size: x may run from 0 to 600; y is centred, 100 rows in 300.
  const Size full{1000, 100};
  ViewState view = fresh();
  apply_action(view, Action::actual_size, &full);
  EXPECT_EQ(view_layout(view, full).x, 300);
  for (int i = 0; i < 20; ++i)
    apply_action(view, Action::pan_right, &full);
  EXPECT_EQ(view_layout(view, full).x, 600);
  pan_view(view, -10000, -10000);
  const Layout l = view_layout(view, full);
  EXPECT_EQ(l.x, 0);
  EXPECT_EQ(l.y, -100);
  apply_action(view, Action::pan_right, &full);  // a tenth of the frame
  EXPECT_EQ(view_layout(view, full).x, 40);
}

TEST(ViewState, MirrorAndTurnKeepThePointUnderTheCentre) {
  // At actual size the image's point (550, 250) lies under the frame's centre (200, 150).
  const Size full{1000, 500};
  ViewState view = fresh();
  view.zoom = actual_zoom;
  view.origin_x = 350;
  view.origin_y = 100;
  Layout l = view_layout(view, full);
  ASSERT_EQ(l.x, 350);
  ASSERT_EQ(l.y, 100);
  // Mirrored, x = 550 shows at 1000 - 550 = 450.
  apply_action(view, Action::mirror_left_right, &full);
  l = view_layout(view, full);
  EXPECT_EQ(l.x, 250);
  EXPECT_EQ(l.y, 100);
  // A quarter turn right shows the point at (500 - 250, 550), then mirrored at (250, 550).
  apply_action(view, Action::turn_right, &full);
  l = view_layout(view, full);
  EXPECT_EQ(l.scaled_width, 500u);
  EXPECT_EQ(l.scaled_height, 1000u);
  EXPECT_EQ(l.x, 50);
  EXPECT_EQ(l.y, 400);
}

TEST(ViewState, KeysMapToActions) {
  struct Case {
    KeySym key;
    bool shift;
    Action action;
  };
  const Case cases[] = {
      {XK_Left, false, Action::turn_left}, {XK_Left, true, Action::pan_left},
      {XK_Down, false, Action::next},      {XK_Up, true, Action::pan_up},
      {XK_equal, false, Action::zoom_in},  {XK_underscore, true, Action::mirror_top_bottom},
      {XK_Shift_L, true, Action::none},    {XK_q, true, Action::leave},
      {XK_m, false, Action::mark},         {XK_m, true, Action::invert_marks},
      {XK_n, true, Action::next_mark},     {XK_n, false, Action::leave}};
  for (const Case& c : cases)
    EXPECT_EQ(key_action(c.key, c.shift), c.action) << c.key;
}

TEST(ViewState, InfoLineTellsTheMarkAndTheCount) {
  ViewState view{.frame = {100, 100}};
  const ShownFacts facts{.full = {10, 10}, .taken = {}, .camera = {}, .marked = true, .marks = 2};
  EXPECT_NE(view_info(view, view_layout(view, facts.full), facts, {}).find("  marked  2 marks"),
            std::string::npos);
}

}  // namespace
