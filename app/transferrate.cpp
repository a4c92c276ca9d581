#include "transferrate.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>

namespace lumigrab {
namespace {

// Rates over less time than this say more about chance than speed.
constexpr qint64 kShortestSpanMs = 1000;
constexpr int kRefreshMs = 1000;

QString SpeedText(double bytesPerSecond)
{
    if (bytesPerSecond >= 1e6)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / 1e6, 0, 'f', 1);
    if (bytesPerSecond >= 1e3)
        return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1e3, 0, 'f', 0);
    return QStringLiteral("%1 B/s").arg(bytesPerSecond, 0, 'f', 0);
}

qint64 NowMs()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

void TTransferMeter::Start(qint64 nowMs)
{
    *this = TTransferMeter();
    startMs_ = nowMs;
}

void TTransferMeter::ArticleStarted(qint64 expectedBytes)
{
    expectedBytes_ = std::max<qint64>(expectedBytes, 0);
    countedOfArticle_ = 0;
}

void TTransferMeter::ArticleProgress(int percent, qint64 nowMs)
{
    const qint64 reached = expectedBytes_ * std::clamp(percent, 0, 100) / 100;
    if (reached > countedOfArticle_) {
        Count(reached - countedOfArticle_, nowMs);
        countedOfArticle_ = reached;
    }
}

void TTransferMeter::ArticleDone(qint64 nowMs)
{
    ArticleProgress(100, nowMs);
    ArticleStarted(0);
}

void TTransferMeter::ArticleArrived(qint64 bytes, qint64 nowMs)
{
    if (bytes > 0)
        Count(bytes, nowMs);
}

void TTransferMeter::PictureKept()
{
    ++pictures_;
}

void TTransferMeter::Count(qint64 bytes, qint64 nowMs)
{
    while (!arrivals_.empty() && arrivals_.front().first <= nowMs - kSpeedWindowMs)
        arrivals_.pop_front();
    arrivals_.emplace_back(nowMs, bytes);
}

double TTransferMeter::BytesPerSecond(qint64 nowMs) const
{
    const qint64 from = nowMs - kSpeedWindowMs;
    qint64 bytes = 0;
    for (const auto& [at, count] : arrivals_)
        bytes += at > from ? count : 0;
    const qint64 span = std::clamp(nowMs - startMs_, kShortestSpanMs, kSpeedWindowMs);
    return bytes * 1000.0 / span;
}

double TTransferMeter::PicturesPerMinute(qint64 nowMs) const
{
    return pictures_ * 60'000.0 / std::max(nowMs - startMs_, kShortestSpanMs);
}

QString TTransferMeter::Text(qint64 nowMs) const
{
    return QStringLiteral("%1, %2 pictures/min")
        .arg(SpeedText(BytesPerSecond(nowMs)))
        .arg(PicturesPerMinute(nowMs), 0, 'f', 0);
}

TTransferRateLabel::TTransferRateLabel(QWidget* parent)
    : QLabel(parent)
    , timer_(new QTimer(this))
{
    setObjectName(QStringLiteral("TransferRate"));
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TTransferRateLabel::Refresh);
    hide();
}

void TTransferRateLabel::Begin()
{
    meter_.Start(NowMs());
    note_.clear();
    Refresh();
    show();
    timer_->start();
}

void TTransferRateLabel::End()
{
    timer_->stop();
    hide();
}

void TTransferRateLabel::ArticleProgress(int percent)
{
    meter_.ArticleProgress(percent, NowMs());
}

void TTransferRateLabel::ArticleDone()
{
    meter_.ArticleDone(NowMs());
}

void TTransferRateLabel::ArticleArrived(qint64 bytes)
{
    meter_.ArticleArrived(bytes, NowMs());
}

void TTransferRateLabel::SetNote(const QString& note)
{
    note_ = note;
    Refresh();
}

void TTransferRateLabel::Refresh()
{
    const QString rate = meter_.Text(NowMs());
    setText(note_.isEmpty() ? rate : rate + QStringLiteral("; ") + note_);
}

} // namespace lumigrab
