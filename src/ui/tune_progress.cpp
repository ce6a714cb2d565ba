#include "ui/tune_progress.h"

namespace housetone::ui {

namespace {

QString stepText(const TuneProgress& w, const char* of) {
    QString text = QString::fromUtf8(stageName(w.stage));
    if (w.steps > 1 && w.step > 0)
        text += QStringLiteral(" %1%2%3").arg(w.step).arg(QString::fromLatin1(of)).arg(w.steps);
    return text;
}

}  // namespace

QString progressText(const TuneProgress& w) {
    if (w.pass < 1) return QStringLiteral("Checking the microphone");
    return QStringLiteral("Pass %1 of %2 \u00b7 ").arg(w.pass).arg(w.passes) + stepText(w, " of ");
}

QString progressShortText(const TuneProgress& w) {
    if (w.pass < 1) return QStringLiteral("mic check");
    return QStringLiteral("%1/%2 \u00b7 ").arg(w.pass).arg(w.passes) + stepText(w, "/");
}

}  // namespace housetone::ui
