#include "update/Update.h"

Update::Update(bool updateMode, QWidget* parent) : QMainWindow(parent), updateMode(updateMode)
{
    ui.setupUi(this);
    initTextTable();
    applyTexts();
}
