#include "app/SliderLegend.h"

#include <algorithm>

#include <QLabel>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>

int TSliderLegend::TickCentre(const QSlider* slider, int value) {
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = value;
    option.sliderValue = value;
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    option.singleStep = slider->singleStep();
    option.pageStep = slider->pageStep();
    option.upsideDown = slider->invertedAppearance();
    option.rect = QRect(QPoint(0, 0), slider->size());
    option.subControls = QStyle::SC_SliderHandle;
    const QRect handle = slider->style()->subControlRect(QStyle::CC_Slider, &option,
                                                         QStyle::SC_SliderHandle, slider);
    return slider->x() + handle.center().x();
}

TSliderLegend::TSliderLegend(QSlider* slider, int y, int pixelSize,
                             std::initializer_list<std::pair<int, const char*>> marks)
    : QWidget(slider->parentWidget()) {
    const int left = slider->x() - kMargin;
    QFont font = slider->font();
    font.setPixelSize(pixelSize);
    int height = 0;
    for (const auto& [value, text] : marks) {
        auto* label = new QLabel(QString::fromUtf8(text), this);
        label->setFont(font);
        label->adjustSize();
        const int centre = TickCentre(slider, value) - left;
        // Never past the slider's right end or left of the parent's edge, where the
        // number would be cut off.
        const int rightmost = slider->x() + slider->width() - left - label->width();
        label->move(std::max(std::max(0, -left), std::min(rightmost, centre - label->width() / 2)),
                    0);
        height = std::max(height, label->height());
    }
    setGeometry(left, y, slider->width() + 2 * kMargin, height);
}
