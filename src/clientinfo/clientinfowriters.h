#ifndef OSTREL_CLIENTINFOWRITERS_H
#define OSTREL_CLIENTINFOWRITERS_H

class QString;

// The values the host reports, written into the client info file
// <home>/AppData/Local/OstrelSDK/KivClientInfo_<clientName>_<pid>.xml (fallback folder:
// <application dir>/OstrelSDK), attributes of its ClientInfo element.

// Records the client name and process id that name the file. Touches neither its own file nor the
// store; once the store exists its path never changes. The first call in a process also removes the
// client info files that ended hosts left in both folders (see removeStaleClientInfoFiles).
void writeIniFile(const QString &clientName);

void writeIniFileClientLogInfo(const QString &clientLogPath); // attribute logPath
void writeIniFileUserInfo(const QString &userId);             // attribute id
void writeIniFileLiveInfo(const QString &liveId, bool entering); // attribute liveid ("" when leaving)
void writeIniFileStreamNodeInfo(const QString &node);        // attribute node
// Adds `path` to the ";"-separated list in thirdpartyLogPath, unless it already occurs in the list
// as a substring (case-sensitive).
void appendIniFileThirdpartyLogInfo(const QString &path);

#endif // OSTREL_CLIENTINFOWRITERS_H
