#include "tools/common/cli/prologue.h"

#include <cstdio>

namespace trklib::cli {

QStringList commandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

std::optional<int> answer(Ask ask, const ProgramTexts& program, const QString& error)
{
    const auto encoded = [&program](const QString& text) {
        return program.localeEncoding ? text.toLocal8Bit() : text.toUtf8();
    };
    switch (ask) {
    case Ask::Run:
        break;
    case Ask::Help:
        std::fputs(encoded(program.help()).constData(), stdout);
        return 0;
    case Ask::Version:
        std::printf("%s %s\n", program.name, TRKLIB_VERSION);
        return 0;
    case Ask::Error:
        std::fprintf(stderr, "%s: %s\n%s", program.name, encoded(error).constData(),
                     encoded(program.usage()).constData());
        return exitUsage;
    }
    return std::nullopt;
}

} // namespace trklib::cli
