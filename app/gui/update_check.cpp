#include "update_check.h"

#include <QEventLoop>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

bool ParseVersionText(const QByteArray& text, QString& version, QString& url) {
  // A version file is a few bytes; anything long is some other page.
  if (text.size() > 4096) return false;
  QStringList lines;
  for (const QString& l : QString::fromUtf8(text).split(QRegularExpression(QStringLiteral("[\r\n]+")))) {
    const QString t = l.trimmed();
    if (!t.isEmpty()) lines.append(t);
  }
  if (lines.isEmpty()) return false;
  static const QRegularExpression versionRe(QStringLiteral("^\\d{1,6}(\\.\\d{1,6}){0,3}$"));
  if (!versionRe.match(lines[0]).hasMatch()) return false;
  version = lines[0];
  url.clear();
  if (lines.size() > 1) {
    const QUrl u(lines[1], QUrl::StrictMode);
    if (u.isValid() && (u.scheme() == QLatin1String("https") || u.scheme() == QLatin1String("http")))
      url = u.toString();
  }
  return true;
}

int CompareVersions(const QString& a, const QString& b) {
  const QStringList pa = a.split(QLatin1Char('.')), pb = b.split(QLatin1Char('.'));
  const qsizetype n = std::max(pa.size(), pb.size());
  for (qsizetype i = 0; i < n; ++i) {
    const qlonglong x = i < pa.size() ? pa[i].toLongLong() : 0;
    const qlonglong y = i < pb.size() ? pb[i].toLongLong() : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

TUpdateInfo CheckForUpdate(const QUrl& source, const QString& program, const QString& version, int timeoutMs) {
  TUpdateInfo info;
  if (source.isEmpty()) return info;

  QNetworkAccessManager nam;
  QNetworkRequest request(source);
  request.setHeader(QNetworkRequest::UserAgentHeader, program + QLatin1Char('/') + version);
  request.setTransferTimeout(timeoutMs);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  QNetworkReply* reply = nam.get(request);

  QEventLoop loop;
  QTimer guard;  // also covers the name look-up, which the transfer timeout does not
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, reply, &QNetworkReply::abort);
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  guard.start(timeoutMs);
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);

  const QByteArray body = reply->error() == QNetworkReply::NoError ? reply->read(8192) : QByteArray();
  if (reply->error() != QNetworkReply::NoError) {
    info.State = TUpdateInfo::usUnreachable;
    info.Detail = guard.isActive() ? reply->errorString() : QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0);
  } else {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && status != 200) {
      info.State = TUpdateInfo::usUnreachable;
      info.Detail = QStringLiteral("HTTP status %1").arg(status);
    } else if (!ParseVersionText(body, info.Latest, info.DownloadUrl)) {
      info.State = TUpdateInfo::usUnreadable;
    } else {
      info.State = CompareVersions(info.Latest, version) > 0 ? TUpdateInfo::usNewer : TUpdateInfo::usCurrent;
    }
  }
  delete reply;
  return info;
}

QString UpdateMessage(const TUpdateInfo& info, const QString& program, const QString& version, const QUrl& source) {
  const QString running = program + QLatin1Char(' ') + version;
  switch (info.State) {
    case TUpdateInfo::usNoSource:
      return QStringLiteral("No update source is configured for this build of %1, so updates cannot be checked.")
          .arg(running);
    case TUpdateInfo::usUnreachable:
      return QStringLiteral("The update source could not be reached, so updates cannot be checked now.\n\n"
                            "Source: %1\nReason: %2\n\nThis is %3.")
          .arg(source.toDisplayString(), info.Detail, running);
    case TUpdateInfo::usUnreadable:
      return QStringLiteral("The update source answered, but not with a version number.\n\nSource: %1\n\nThis is %2.")
          .arg(source.toDisplayString(), running);
    case TUpdateInfo::usCurrent:
      return QStringLiteral("You have the latest version: this is %1.").arg(running);
    case TUpdateInfo::usNewer:
      return info.DownloadUrl.isEmpty()
                 ? QStringLiteral("Version %1 of %2 is available. This is %3.").arg(info.Latest, program, version)
                 : QStringLiteral("Version %1 of %2 is available. This is %3.\n\nOpen the download page?")
                       .arg(info.Latest, program, version);
  }
  return QString();
}
