// How fast Go goes: the transfer speed over the last few seconds and the
// pictures kept per minute since Go was pressed, for the status bar.
#pragma once

#include <QLabel>
#include <QString>

#include <deque>
#include <string>
#include <utility>

class QTimer;

namespace lumigrab {

// Counts what arrives; times are milliseconds on any steady clock. No
// widgets.
class TTransferMeter {
public:
    // Speed is measured over this much of the recent past.
    static constexpr qint64 kSpeedWindowMs = 5000;

    // Counting starts again from nothing.
    void Start(qint64 nowMs);
    // An article of about expectedBytes is on its way (0 when unknown).
    void ArticleStarted(qint64 expectedBytes);
    // The client's progress through that article, in percent.
    void ArticleProgress(int percent, qint64 nowMs);
    // The article is in: whatever its progress did not count yet.
    void ArticleDone(qint64 nowMs);
    // A whole article of bytes came in on another connection, beside the
    // article above.
    void ArticleArrived(qint64 bytes, qint64 nowMs);
    void PictureKept();

    // Bytes per second over the recent past.
    double BytesPerSecond(qint64 nowMs) const;
    double PicturesPerMinute(qint64 nowMs) const;
    // For example "1.2 MB/s, 34 pictures/min".
    QString Text(qint64 nowMs) const;

private:
    void Count(qint64 bytes, qint64 nowMs);

    qint64 startMs_ = 0;
    qint64 expectedBytes_ = 0;
    qint64 countedOfArticle_ = 0;
    int pictures_ = 0;
    // (time, bytes) of each arrival within the speed window.
    std::deque<std::pair<qint64, qint64>> arrivals_;
};

// The meter in a small status-bar label that shows while a transfer runs
// and says what it measured about once a second.
class TTransferRateLabel : public QLabel {
    Q_OBJECT

public:
    explicit TTransferRateLabel(QWidget* parent = nullptr);

    const TTransferMeter& Meter() const { return meter_; }
    // Shows the label and counts from nothing; End hides it.
    void Begin();
    void End();
    // The meter's events, timed now.
    void ArticleStarted(qint64 expectedBytes) { meter_.ArticleStarted(expectedBytes); }
    void ArticleProgress(int percent);
    void ArticleDone();
    void ArticleArrived(qint64 bytes);
    void PictureKept() { meter_.PictureKept(); }
    // Said after the rate until the next Begin, for example that the
    // server refused some connections.
    void SetNote(const QString& note);
    // The text now, without waiting for the next second.
    void Refresh();

private:
    TTransferMeter meter_;
    QString note_;
    QTimer* timer_;
};

} // namespace lumigrab
