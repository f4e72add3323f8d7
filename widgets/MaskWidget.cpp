#include "widgets/MaskWidget.h"

#include <QPalette>

MaskWidget::MaskWidget(QWidget* parent) : QWidget(parent) {}

void MaskWidget::setMainWidget(QWidget* mainWidget)
{
    if (this->mainWidget != mainWidget)
        this->mainWidget = mainWidget;
}

void MaskWidget::setDialogNames(QStringList dialogNames)
{
    if (this->dialogNames != dialogNames)
        this->dialogNames = dialogNames;
}

void MaskWidget::setBgColor(QColor bgColor)
{
    QPalette palette = this->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(bgColor));
    setPalette(palette);
}

void MaskWidget::setOpacity(double opacity)
{
    setWindowOpacity(opacity);
}
