// "Check for updates": asks a version text file on the web whether a newer
// release than the running one exists. The file holds the newest version on
// its first line and, optionally, the download page on the second.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

struct TUpdateInfo {
  enum TState {
    usNoSource,    // this build knows no update source
    usUnreachable, // the source did not answer (network, timeout, missing file)
    usUnreadable,  // it answered, but not with a version
    usCurrent,     // the running version is the newest
    usNewer        // Latest is newer than the running version
  };
  TState State = usNoSource;
  QString Latest;       // version the source names
  QString DownloadUrl;  // page to offer; may be empty
  QString Detail;       // error text for usUnreachable
};

// First non-blank line: a version of digits and dots; second: a URL or
// nothing. False when the first line is not a version.
bool ParseVersionText(const QByteArray& text, QString& version, QString& url);
// Compares dotted numbers part by part ("1.20" < "1.21" < "2"); missing parts
// count as 0.
int CompareVersions(const QString& a, const QString& b);

// Fetches and judges the version file; waits at most timeoutMs while the
// window keeps handling its events. An empty source gives usNoSource.
TUpdateInfo CheckForUpdate(const QUrl& source, const QString& program, const QString& version, int timeoutMs);

// The sentence a user reads for the result.
QString UpdateMessage(const TUpdateInfo& info, const QString& program, const QString& version, const QUrl& source);
