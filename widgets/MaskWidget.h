#pragma once

// An overlay for dimming a main window behind named dialogs. Only its
// interface exists: nothing shows one yet.

#include <QColor>
#include <QStringList>
#include <QWidget>

class MaskWidget : public QWidget
{
    Q_OBJECT

public:
    explicit MaskWidget(QWidget* parent = nullptr);

public slots:
    void setMainWidget(QWidget* mainWidget);
    void setDialogNames(QStringList dialogNames);
    void setBgColor(QColor bgColor);
    void setOpacity(double opacity);

private:
    QWidget* mainWidget = nullptr;
    QStringList dialogNames;
};
