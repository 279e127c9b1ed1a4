// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/control_panel.h"

#include "app/bench.h"
#include "model/channel_model.h"
#include "model/numbers.h"
#include "ui/commands.h"
#include "ui/host.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPointer>
#include <QSignalBlocker>
#include <QSlider>

#include <initializer_list>

namespace ui {

namespace {

// Client area and control positions in twips.
constexpr int kClientWidth = 10200;
constexpr int kClientHeight = 7785;
constexpr int kSliderTop = 120;
constexpr int kSliderHeight = 6255;
constexpr int kVoltRowTop = 6600;
constexpr int kCodeRowTop = 6960;
constexpr int kChannelRowTop = 7320;
constexpr int kRowHeight = 255;
constexpr int kCaptionLeft = 120;
constexpr int kCaptionWidth = 705;
// Wider than the slider pitch so that a voltage such as 12.345 is not cut; the texts stay centred.
constexpr int kUnderLabelWidth = 570;
constexpr int kFullScale = 1024;

struct SliderPlace {
    int left;
    const char* channel;
};

// Sliders 16, 17 and 20..23 lie beyond the right edge, out of view, as users of the program know it. Vc1 and
// Vc2 keep the pitch of the others so that their voltages, in the dialog font, do not run into each other.
constexpr SliderPlace kSliderPlaces[ControlPanel::kChannels] = {
    {840, "1"},    {1328, "2"},   {1816, "3"},   {2304, "4"},   {2792, "5"},   {3280, "6"},
    {3768, "7"},   {4256, "8"},   {4729, "9"},   {5217, "10"},  {5705, "11"},  {6193, "12"},
    {6681, "13"},  {7169, "14"},  {7657, "15"},  {8145, "16"},  {13440, "17"}, {13920, "18"},
    {8633, "Vc1"}, {9121, "Vc2"}, {14400, "19"}, {14880, "20"}, {15375, "21"}, {15855, "22"},
};

// The filled part of the groove stands for the code, below the handle, whichever end the minimum is at. The
// slider with the focus, the one the wheel and the keys move, is framed and its handle filled.
constexpr char kSliderStyle[] =
    "QSlider { border: 1px solid transparent; border-radius: 3px; }"
    "QSlider:focus { border-color: palette(highlight); }"
    "QSlider::groove:vertical { width: 4px; border-radius: 2px; }"
    "QSlider::add-page:vertical { background: palette(highlight); border-radius: 2px; }"
    "QSlider::sub-page:vertical { background: palette(mid); border-radius: 2px; }"
    "QSlider::handle:vertical { height: 10px; margin: 0 -7px; border: 1px solid palette(dark);"
    " border-radius: 3px; background: palette(button); }"
    "QSlider::handle:vertical:focus { background: palette(highlight); border-color: palette(highlight); }";

constexpr int kScaleTops[5] = {360, 1710, 3060, 4530, 6000};

bool inView(int i)
{
    return i < 16 || i == 18 || i == 19;
}

QLabel* label(QWidget* parent, const QString& name, const QString& text, int left, int top, int width,
              Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto* l = placed<QLabel>(parent, name, text, left, top, width, kRowHeight);
    l->setAlignment(alignment);
    return l;
}

// A code above 1024 (a read-back of a raw register word) or a nonsense value asks for a position outside
// the range: the slider stops at the nearer end and the refresh goes on.
int positionFor(double code)
{
    const double position = kFullScale - code;
    if (!(position > 0))
        return 0;
    if (position >= kFullScale)
        return kFullScale;
    return *model::to_int32(position);
}

} // namespace

ControlPanel::ControlPanel(Host& host)
    : QWidget(host.hostWindow(), Qt::Window), host_(host), model_(host.bench().channels())
{
    setUpWindow(this, QStringLiteral("frmSlider"), QStringLiteral("Control Panel"), kClientWidth,
                kClientHeight);
    buildLayout();
    ScreenFit::apply(this);
    placeBeside(this, host.hostWindow());

    refresh_panel();
    model_.panel_open = 1;
    // A panel destroyed without being closed must not leave the main window calling into it.
    host_.setPanelRefresh([panel = QPointer<ControlPanel>(this)] {
        if (panel)
            panel->refresh_panel();
    });
}

void ControlPanel::buildLayout()
{

    // The slider pitch leaves 27 to 33 pixels: a voltage such as 12.345 or a code FFFF needs a narrower face
    // of the dialog font, no smaller size.
    QFont narrowFont = font();
    narrowFont.setStretch(QFont::SemiCondensed);
    for (int i = 0; i < kChannels; ++i) {
        const SliderPlace& place = kSliderPlaces[i];
        const int width = (i == 7 || i == 17) ? 480 : 495;
        auto* slider = new FocusSlider(Qt::Vertical, this);
        slider->setObjectName(QStringLiteral("Slider1_%1").arg(i));
        slider->setRange(0, kFullScale);
        slider->setSingleStep(1);
        slider->setPageStep(5);
        // Position 0 (code 1024) at the top; the arrow keys move the handle the way they point.
        slider->setInvertedAppearance(true);
        slider->setInvertedControls(true);
        slider->setStyleSheet(QString::fromLatin1(kSliderStyle));
        placeInTwips(slider, place.left, kSliderTop, width, kSliderHeight);
        connect(slider, &QSlider::valueChanged, this, [this, i] { sliderMoved(i); });

        const int centre = place.left + width / 2;
        const int left = centre - kUnderLabelWidth / 2;
        voltLabels_.at(i) = label(this, QStringLiteral("Label26_%1").arg(i), {}, left, kVoltRowTop,
                                  kUnderLabelWidth, Qt::AlignCenter);
        voltLabels_.at(i)->setFont(narrowFont);
        codeLabels_.at(i) = label(this, QStringLiteral("Label27_%1").arg(i), {}, left, kCodeRowTop,
                                  kUnderLabelWidth, Qt::AlignCenter);
        codeLabels_.at(i)->setFont(narrowFont);
        QLabel* channel =
            label(this, QStringLiteral("ChannelLabel_%1").arg(i), QString::fromLatin1(place.channel), left,
                  kChannelRowTop, kUnderLabelWidth, Qt::AlignCenter);
        sliders_.at(i) = slider;
        if (!inView(i)) {
            // Out of reach for Tab as well as out of sight.
            for (QWidget* hidden :
                 std::initializer_list<QWidget*>{slider, voltLabels_.at(i), codeLabels_.at(i), channel})
                hidden->hide();
        }
    }

    label(this, QStringLiteral("VoutCaption"), QStringLiteral("Vout"), kCaptionLeft, kVoltRowTop,
          kCaptionWidth);
    label(this, QStringLiteral("CodeCaption"), QStringLiteral("Code "), kCaptionLeft, kCodeRowTop,
          kCaptionWidth);
    label(this, QStringLiteral("ChannelCaption"), QStringLiteral("Channel"), kCaptionLeft, kChannelRowTop,
          kCaptionWidth);
    for (int n = 0; n < 5; ++n)
        scaleLabels_.at(n) =
            label(this, QStringLiteral("Label%1").arg(n + 1), {}, kCaptionLeft, kScaleTops[n], kCaptionWidth);
}

void ControlPanel::refresh_panel()
{
    for (int n = 1; n <= kChannels; ++n) {
        QSlider* slider = sliders_.at(n - 1);
        {
            const QSignalBlocker quiet(slider);
            slider->setValue(positionFor(model_.code.at(n)));
        }
        // A channel no chip gave shows nothing, as in the grid.
        const bool unknown = model_.unknown.at(n);
        codeLabels_.at(n - 1)->setText(unknown ? QString() : model::code_text(model_.code.at(n)));
        voltLabels_.at(n - 1)->setText(unknown ? QString() : model::volt_text(model_.volt.at(n)));
    }
    const double low = model_.vref_low_cur;
    const double range = model_.vref_high_cur - model_.vref_low_cur;
    scaleLabels_[0]->setText(model::number_text(model_.vref_high_cur));
    scaleLabels_[1]->setText(model::volt_text(low + range * 3 / 4));
    scaleLabels_[2]->setText(model::volt_text(low + range * 2 / 4));
    scaleLabels_[3]->setText(model::volt_text(low + range * 1 / 4));
    scaleLabels_[4]->setText(model::number_text(low));
}

void ControlPanel::closeEvent(QCloseEvent* event)
{
    model_.panel_open = 0;
    host_.setPanelRefresh({});
    event->accept();
}

void ControlPanel::sliderMoved(int i)
{
    // While the move waits its turn, later moves of the same slider only change the position it will
    // write: a drag over a slow bus ends at the released position, without writing every place it passed.
    const bool waiting = pending_.at(i).has_value();
    pending_.at(i) = sliders_.at(i)->value();
    if (waiting)
        return;
    host_.commands().post([this, i, panel = QPointer<ControlPanel>(this)]() -> Task<> {
        if (!panel)
            co_return;
        const int position = *std::exchange(pending_.at(i), std::nullopt);
        const int n = i + 1;
        model_.set_code(n, kFullScale - position);
        codeLabels_.at(i)->setText(model::code_text(model_.code.at(n)));
        model_.cur_chan = n;
        model_.write_current_channel();
        model_.refresh_channels();
        refresh_panel();
    });
}

} // namespace ui
