#include "publisher/PublishCommands.h"
#include "publisher/PublishOptions.h"

#include <QStringList>

#include <cstdio>

int main(int argc, char** argv)
{
    QStringList commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine << QString::fromLocal8Bit(argv[i]);
    PublishOptions options;
    QString errorText;
    if (!options.parse(commandLine, errorText)) {
        std::fprintf(stderr, "vaderoru-publish: %s (see --help)\n",
                     errorText.toLocal8Bit().constData());
        return 2;
    }
    if (options.help) {
        std::fputs(PublishOptions::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    return PublishCommands(options).run();
}
