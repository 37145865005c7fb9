#pragma once
// The jobs the program can be started for. Each is handed the settings of the run and the
// run's log, and reads nothing else of the configuration; what it tells the user goes to
// that log as well.

namespace zanpost {

struct TNastaveni;
class RunLog;

// SEND: sends one message built from [Mail] and [Soubory] to the SMTP server.
void SendJob(const TNastaveni& settings, RunLog& log);

// GET: fetches every marked message from the POP3 or IMAP mailbox and unpacks it.
void ReceiveJob(const TNastaveni& settings, RunLog& log);

}  // namespace zanpost
