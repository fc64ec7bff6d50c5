// The receive pass of an in-process main window against a scripted POP3
// server on loopback: what goes on the wire, what lands in the incoming
// directory, what the log and the labels show.
#include <gtest/gtest.h>

#include <QLabel>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "app/icons.h"
#include "app/mainunit.h"
#include "config/textutil.h"
#include "platform/filing.h"
#include "support/scripted_server.h"
#include "support/testutil.h"
#include "widgets/Gauges.h"

using zvtest::FileExists;
using zvtest::ReadFile;
using zvtest::ScriptedServer;
using zvtest::TempDir;
using zvtest::WriteFile;
using Lines = std::vector<std::string>;

namespace {

const char kEnvelope[] = "zvmailer_windows\nrobot@zorvik\nrobot@zorvik\n";

// A mailbox as the scripted server serves it. Message lines are given as
// they go on the wire (already dot-stuffed); the server adds the end line.
struct Mailbox {
  std::vector<Lines> messages;
  std::string greeting = "+OK POP3 ready";
  std::string userReply = "+OK";
  std::string passReply = "+OK Logged in.";  // empty: none, the line drops
  Lines capa;                      // CAPA's answer; empty: as `pipelining` says
  std::string statReply;           // empty: "+OK <count> 4096"
  std::set<int> refuseRetr;        // RETR answered "-ERR"
  int dropInRetr = 0;              // this RETR breaks off after two lines
  ScriptedServer::Action drop = ScriptedServer::Action::Reset;
  bool pipelining = false;         // CAPA lists PIPELINING (else CAPA is refused)
  bool stls = false;               // CAPA lists STLS
  std::size_t dropQuitOf = 99;     // on this connection QUIT gets no reply: the line drops
  std::vector<std::string> uids;   // UIDL's ids (empty: UIDL is refused)
  // Logins by AUTH, as a strict server takes them: a line over 255 octets
  // and a token on the AUTH line are refused. `sasl`: CAPA's SASL line;
  // `authReplies`: the replies to AUTH and to the lines that answer its
  // challenges, in order (the empty challenge of an AUTH line without a
  // response is the server's own; "!" closes the connection after one).
  std::string sasl;
  std::vector<std::string> authReplies;
  std::shared_ptr<std::size_t> authStep = std::make_shared<std::size_t>(0);
  std::shared_ptr<bool> inAuth = std::make_shared<bool>(false);
  std::string paced;               // the lines of this command's reply trickle in
  std::vector<uint64_t> sizes;     // LIST's sizes (by default 100 each)
};

ScriptedServer::Step Reply(Lines lines, ScriptedServer::Action action = ScriptedServer::Action::Continue) {
  return {std::move(lines), {}, action};
}

ScriptedServer::Step Answer(const Mailbox& box, const std::string& line, std::size_t connection = 0) {
  const auto [cmd, arg] = SplitKeyValue(line);
  const int n = TextToNum(arg);
  if (cmd == "CAPA" && !box.capa.empty()) return Reply(box.capa);
  if (cmd == "CAPA" && !box.sasl.empty()) return Reply({"+OK", "USER", "SASL " + box.sasl, "."});
  if (cmd == "CAPA" && box.stls) return Reply({"+OK", "USER", "STLS", "."});
  if (cmd == "CAPA") return Reply(box.pipelining ? Lines{"+OK", "USER", "UIDL", "PIPELINING", "."} : Lines{"-ERR"});
  if (cmd == "AUTH" && !*box.inAuth) {
    const auto [mech, response] = SplitKeyValue(arg);
    if (line.size() + 2 > 255) return Reply({"-ERR line too long"});
    if (!response.empty() && mech != "PLAIN") return Reply({"-ERR no token on the AUTH line"});
    if (response.empty()) {
      *box.inAuth = true;
      return Reply({"+ "});
    }
  }
  if (cmd == "AUTH" || *box.inAuth) {
    const std::string& reply = box.authReplies[std::min(box.authReplies.size() - 1, (*box.authStep)++)];
    *box.inAuth = reply.rfind("+ ", 0) == 0;
    // "!": the reply, then the connection closes.
    if (reply[0] == '!') return Reply({reply.substr(1)}, ScriptedServer::Action::Close);
    return Reply({reply});
  }
  if (cmd == "UIDL" && !box.uids.empty()) {
    Lines out{"+OK"};
    for (size_t i = 0; i < box.uids.size(); ++i) out.push_back(std::to_string(i + 1) + " " + box.uids[i]);
    out.push_back(".");
    return Reply(out);
  }
  if (cmd == "USER") return Reply({box.userReply});
  if (cmd == "PASS" && box.passReply.empty()) return Reply({}, ScriptedServer::Action::Close);
  if (cmd == "PASS") return Reply({box.passReply});
  if (cmd == "STAT")
    return Reply({box.statReply.empty() ? "+OK " + std::to_string(box.messages.size()) + " 4096" : box.statReply});
  if (cmd == "RETR" && n >= 1 && n <= int(box.messages.size()) && !box.refuseRetr.count(n)) {
    Lines out{"+OK message follows"};
    const Lines& msg = box.messages[n - 1];
    if (n == box.dropInRetr) {
      out.insert(out.end(), msg.begin(), msg.begin() + std::min<size_t>(2, msg.size()));
      return Reply(out, box.drop);
    }
    out.insert(out.end(), msg.begin(), msg.end());
    out.push_back(".");
    return Reply(out);
  }
  if (cmd == "LIST") {
    Lines out{"+OK"};
    for (size_t i = 0; i < std::max(box.messages.size(), box.uids.size()); ++i)
      out.push_back(std::to_string(i + 1) + " " + std::to_string(i < box.sizes.size() ? box.sizes[i] : 100));
    out.push_back(".");
    return Reply(out);
  }
  if (cmd == "DELE") return Reply({"+OK Marked to be deleted."});
  if (cmd == "QUIT" && connection == box.dropQuitOf) return Reply({}, ScriptedServer::Action::Reset);
  if (cmd == "QUIT") return Reply({"+OK Logging out."}, ScriptedServer::Action::Close);
  return Reply({"-ERR no such message"});
}

Lines ZorvikMessage(const std::string& subject = "Subject: TRANSPORT", const Lines& body = {"body"}) {
  Lines m{"From: sender@example.com", "To: robot@example.com", subject, ""};
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

class Pop3Pass : public ::testing::Test {
 protected:
  TempDir dir;
  std::string in = dir / "in/";
  std::unique_ptr<ScriptedServer> server;
  std::unique_ptr<TMain> main;
  TMainServices services;

  void SetUp() override { ::mkdir(in.c_str(), 0755); }

  // Starts the server for `box` and a main window configured for it.
  void Prepare(const Mailbox& box) {
    server = std::make_unique<ScriptedServer>("127.0.0.1", 0);
    server->SetGreeting(Reply({box.greeting}));
    server->SetHandler([box](const std::string& line, std::size_t c) {
      ScriptedServer::Step step = Answer(box, line, c);
      if (SplitKeyValue(line).first == box.paced) step.pace = std::chrono::milliseconds(30);
      return step;
    });
    ASSERT_TRUE(server->Start());
    main = std::make_unique<TMain>(std::vector<std::string>{dir / "zvmail32"}, services, dir.path());
    TConfig& c = main->Config;
    c.POP = server->HostPort();
    c.USERNAME = "zorvik1";
    c.PASSWORD = "s3cret";
    c.ROBOT = "robot";
    c.IN = in;
    c.COUNTER = 41;
    c.LOG = true;
    c.LOGFILE = dir / "zv.log";
  }

  // One receive pass; returns once the server has seen the connection end.
  void Receive() {
    main->ReceiveMail();
    ASSERT_TRUE(server->WaitFinished(1));
  }

  void Run(const Mailbox& box) {
    Prepare(box);
    Receive();
  }

  Lines Commands() const { return server->Lines(0); }

  std::vector<std::string> Log() const {
    std::vector<std::string> msgs;
    const std::string text = ReadFile(dir / "zv.log");
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      msgs.push_back(line.size() >= 19 ? line.substr(19) : line);
      start = end + 2;
    }
    return msgs;
  }
  bool Logged(const std::string& msg) const {
    const auto log = Log();
    return std::find(log.begin(), log.end(), msg) != log.end();
  }

  std::set<std::string> InFiles() const {
    std::set<std::string> names;
    if (DIR* d = ::opendir(in.c_str())) {
      while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') names.insert(e->d_name);
      ::closedir(d);
    }
    return names;
  }

  void ExpectIdleLabels() const {
    EXPECT_EQ(main->lbCommand->text().toStdString(), "Waiting");
    EXPECT_EQ(main->lbResponse->text().toStdString(), "None");
    EXPECT_EQ(main->lbAction->text().toStdString(), "Idle");
    EXPECT_EQ(main->Percent->Progress(), 0);
    EXPECT_FALSE(main->icnDownOff->isHidden());
    EXPECT_FALSE(main->Busy);
  }
};

TEST_F(Pop3Pass, FilesAZorvikMessageAsNumberedPairAndDeletesIt) {
  Mailbox box;
  box.messages = {{"From: sender@example.com", "To: robot@example.com", "sUbJeCt: TrAnSpOrT", "",
                   "first body line", "   ", "  indented last line  "}};
  Run(box);

  EXPECT_EQ(server->Received(0), "CAPA\r\nUSER zorvik1\r\nPASS s3cret\r\nSTAT\r\nUIDL\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK"}));
  EXPECT_EQ(ReadFile(in + "00000042.TXT"),
            "From: sender@example.com\nTo: robot@example.com\nsUbJeCt: TrAnSpOrT\n\nfirst body line\n\n"
            "  indented last line  \n");
  EXPECT_EQ(ReadFile(in + "00000042.WRK"), kEnvelope);
  EXPECT_EQ(main->Config.COUNTER, 42);
  EXPECT_TRUE(main->GotZorvikMail);
  EXPECT_TRUE(Logged("Talking to POP3 (" + server->HostPort() + ")"));
  EXPECT_TRUE(Logged("1 messages in the mailbox"));
  EXPECT_TRUE(Logged("Retrieving message 1"));
  ExpectIdleLabels();

  main.reset();  // the end of the program writes COUNTER back
  EXPECT_NE(ReadFile(dir / "ZVMAIL32.INI").find("\r\nCOUNTER    42\r\n"), std::string::npos);
}

// A number is taken when its text, its envelope or the envelope's temporary
// name is there as anything at all; nothing is ever written through a link.
// What an earlier run left is recovered only where this program made it: a
// temporary envelope that is a regular file, recorded with its inode.
TEST_F(Pop3Pass, NumbersWhoseNamesAreTakenAreSkippedAndLinksNeverFollowed) {
  enum Kind { File, Link, Dangling, Directory };
  struct Case {
    const char* name;
    uint16_t counter;
    std::vector<std::pair<std::string, Kind>> present;
    std::string filedAs;
    uint16_t counterAfter;
    // The id record's lines; "{inode}" is that of .00000042.WRK.tmp.
    std::string record = {};
    std::vector<std::string> removed = {};  // present files no longer as they were
    std::vector<std::string> appear = {};   // files there afterwards, as "older\n"
    // Run as root: the configuration belongs to another user, who then owns
    // what the pass makes or replaces beside it.
    bool configOfAnother = false;
  };
  const std::string tmp = ".00000042.WRK.tmp";
  const std::string begun = "begun 00000042 {inode}\n", filed = "mailbox x y\nfiled 00000042 uid-x\n";
  const Case cases[] = {
      {"next free", 41, {{"00000042.TXT", File}}, "00000043", 43},
      {"wraps past 65535", 65535, {}, "00000000", 0},
      {"wraps while searching", 65534, {{"00065535.TXT", File}, {"00000000.TXT", File}}, "00000001", 1},
      {"envelope taken", 41, {{"00000042.WRK", File}}, "00000043", 43},
      {"link at the envelope", 41, {{"00000042.WRK", Link}}, "00000043", 43},
      {"link at the text", 41, {{"00000042.TXT", Link}}, "00000043", 43},
      {"dangling link", 41, {{"00000042.TXT", Dangling}, {"00000043.WRK", Dangling}}, "00000044", 44},
      {"directory", 41, {{"00000042.TXT", Directory}}, "00000043", 43},
      // Leftovers this program did not record are left alone, numbers taken.
      {"stray temporary envelope", 41, {{tmp, Link}}, "00000043", 43},
      {"stray beside a complete pair", 41, {{"00000042.TXT", File}, {"00000042.WRK", File}, {tmp, File}}, "00000043",
       43},
      {"planted link recorded as filed", 41, {{tmp, Link}}, "00000043", 43, filed},
      // Its own: an unfinished filing goes, a filed one is completed, and a
      // text whose pair someone has completed stays.
      {"own unfinished filing", 41, {{tmp, File}, {"00000042.TXT", File}}, "00000042", 42, begun,
       {tmp, "00000042.TXT"}},
      {"own filing recorded as filed", 41, {{tmp, File}, {"00000042.TXT", File}}, "00000043", 43, begun + filed,
       {tmp}, {"00000042.WRK"}},
      {"own envelope beside a complete pair", 41, {{"00000042.TXT", File}, {"00000042.WRK", File}, {tmp, File}},
       "00000043", 43, begun, {tmp}},
      {"configuration of another user", 41, {}, "00000042", 42, "mailbox x y\nleft other uid-z\n", {}, {}, true},
  };
  TempDir outside;
  const std::string target = outside / "precious";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(target, "older\n");
    TempDir fresh;
    in = fresh / "";
    for (const auto& [name, kind] : c.present) {
      if (kind == File) WriteFile(in + name, "older\n");
      if (kind == Link) {
        ASSERT_EQ(::symlink(target.c_str(), (in + name).c_str()), 0);
      } else if (kind == Dangling) {
        ASSERT_EQ(::symlink((outside / "nothing").c_str(), (in + name).c_str()), 0);
      } else if (kind == Directory) {
        ASSERT_EQ(::mkdir((in + name).c_str(), 0755), 0);
      }
    }
    std::string record = c.record;
    struct stat made {};
    if (const auto at = record.find("{inode}"); at != std::string::npos) {
      ASSERT_EQ(::lstat((in + tmp).c_str(), &made), 0);
      record.replace(at, 7, std::to_string(made.st_ino));
    }
    WriteFile(dir / "ZVMAIL32.UID", "zvmail32 uid state 1\n" + record);
    const bool chowned = c.configOfAnother && ::geteuid() == 0;
    if (chowned) {
      WriteFile(dir / "ZVMAIL32.INI", "");
      ASSERT_EQ(::chown((dir / "ZVMAIL32.INI").c_str(), 4242, 4243), 0);
    }
    Mailbox box;
    box.messages = {ZorvikMessage()};
    Prepare(box);
    main->Config.COUNTER = c.counter;
    Receive();
    for (const char* beside : {"ZVMAIL32.UID", "zv.log"}) {
      struct stat st {};
      if (chowned) {
        EXPECT_TRUE(::stat((dir / beside).c_str(), &st) == 0 && st.st_uid == 4242 && st.st_gid == 4243) << beside;
      }
    }
    EXPECT_EQ(main->Config.COUNTER, c.counterAfter);
    EXPECT_EQ(ReadFile(in + c.filedAs + ".WRK"), kEnvelope);
    EXPECT_NE(ReadFile(in + c.filedAs + ".TXT"), "older\n");
    EXPECT_EQ(ReadFile(target), "older\n");
    EXPECT_FALSE(FileExists(outside / "nothing"));
    for (const auto& [name, kind] : c.present) {
      const bool removed = std::find(c.removed.begin(), c.removed.end(), name) != c.removed.end();
      if (kind == File) {
        EXPECT_EQ(ReadFile(in + name) == "older\n", !removed) << name;
      }
    }
    for (const std::string& name : c.appear) EXPECT_EQ(ReadFile(in + name), "older\n") << name;
    // No envelope the pass published is a link.
    for (const std::string& name : InFiles()) {
      struct stat st {};
      const bool planted = std::any_of(c.present.begin(), c.present.end(), [&](const auto& p) { return p.first == name; });
      if (!planted && name.size() > 4 && name.compare(name.size() - 4, 4, ".WRK") == 0) {
        EXPECT_TRUE(::lstat((in + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) << name;
      }
    }
    EXPECT_FALSE(FileExists(in + "." + c.filedAs + ".WRK.tmp"));
    main.reset();
  }
}

TEST_F(Pop3Pass, EveryNumberTakenFailsTheMessageAndKeepsItOnTheServer) {
  // 65536 files: on a memory file system when there is one, it is much faster.
  char shm[] = "/dev/shm/zvmail32-pop3-XXXXXX";
  const bool inMemory = ::mkdtemp(shm) != nullptr;
  if (inMemory) in = std::string(shm) + "/";
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      if (!path.empty()) std::filesystem::remove_all(path);
    }
  } cleanup{inMemory ? std::string(shm) : std::string()};
  for (int n = 0; n < 65536; ++n) {
    const int fd = ::open((in + NumToText(n, 8) + ".TXT").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  Mailbox box;
  box.messages = {ZorvikMessage(), ZorvikMessage()};
  Run(box);
  EXPECT_TRUE(Logged("Could not write message " + in + "00000041.TXT"));
  EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "QUIT"}));
  EXPECT_TRUE(FileExists(in + "00000041.TXT"));  // someone else's file stays
  EXPECT_FALSE(main->GotZorvikMail);
}

TEST_F(Pop3Pass, RecognisesOnlyTheFourSubjectLines) {
  struct Case {
    Lines message;
    bool zorvik;
  };
  const Case cases[] = {
      {ZorvikMessage("SUBJECT: TRANSPORT"), true},
      {ZorvikMessage("subject: receipt"), true},
      {ZorvikMessage("Subject: Zorvik Transport"), true},
      {ZorvikMessage("   SUBJECT: zorvik RECEIPT   "), true},
      {ZorvikMessage("Subject: Transport now"), false},
      {ZorvikMessage("SUBJECT:TRANSPORT"), false},
      {ZorvikMessage("X-Subject: TRANSPORT"), false},
      {ZorvikMessage("Re: SUBJECT: RECEIPT"), false},
      {ZorvikMessage("Subject:  TRANSPORT"), false},
      // Once all three header kinds and an empty line were seen, the body is not classified.
      {ZorvikMessage("Subject: hello", {"Subject: Transport"}), false},
      // Without a to line the body is still header.
      {{"From: a", "Subject: hello", "", "subject: RECEIPT"}, true},
  };
  Mailbox box;
  std::set<int> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    box.messages.push_back(cases[i].message);
    if (cases[i].zorvik) expected.insert(int(i) + 1);
  }
  Prepare(box);
  main->Config.DELETEALL = false;
  Receive();

  std::set<int> deleted;
  for (const auto& cmd : Commands())
    if (cmd.rfind("DELE ", 0) == 0) deleted.insert(TextToNum(cmd.substr(5)));
  EXPECT_EQ(deleted, expected);
  // Files are numbered in mailbox order: message i was drawn number 41 + i.
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string base = in + NumToText(41 + int(i) + 1, 8);
    EXPECT_EQ(FileExists(base + ".TXT"), cases[i].zorvik) << i + 1;
    EXPECT_EQ(FileExists(base + ".WRK"), cases[i].zorvik) << i + 1;
  }
  // Blank lines of a message still in its header are left out.
  EXPECT_EQ(ReadFile(in + "00000052.TXT"), "From: a\nSubject: hello\nsubject: RECEIPT\n");
  EXPECT_TRUE(main->GotZorvikMail);
}

TEST_F(Pop3Pass, OtherMailIsDeletedOrLeftAsConfiguredAndNeverKept) {
  for (bool deleteAll : {true, false}) {
    SCOPED_TRACE(deleteAll ? "DELETEALL on" : "DELETEALL off");
    TempDir fresh;
    in = fresh / "";
    Mailbox box;
    box.messages = {ZorvikMessage("Subject: lunch?")};
    Prepare(box);
    main->Config.DELETEALL = deleteAll;
    Receive();
    EXPECT_TRUE(Logged(deleteAll ? "Message was not for Zorvik (Deleting)" : "Message was not for Zorvik (Saving)"));
    const Lines expected = deleteAll
                               ? Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "QUIT"}
                               : Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "QUIT"};
    EXPECT_EQ(Commands(), expected);
    EXPECT_TRUE(InFiles().empty());
    EXPECT_EQ(main->Config.COUNTER, 42);
    EXPECT_FALSE(main->GotZorvikMail);
    main.reset();
  }
}

// Only a refusal of the credentials needs a person (77); a mailbox in use, a
// temporary failure, a dropped line or an endless listing is worth a later
// try (75), each with its own cause. "HOST" stands for the server.
TEST_F(Pop3Pass, DialogueFailuresReportAndEndThePass) {
  struct Case {
    const char* name;
    Mailbox box;
    std::string error;  // empty: none
    Lines commands;
    int status;
  };
  auto with = [](auto change) {
    Mailbox b;
    b.messages = {ZorvikMessage()};
    change(b);
    return b;
  };
  const Lines login = {"CAPA", "USER zorvik1", "PASS s3cret", "QUIT"};
  const Case cases[] = {
      {"greeting refused", with([](Mailbox& b) { b.greeting = "-ERR busy"; }), "POP3 server not ready", {}, 75},
      {"user refused", with([](Mailbox& b) { b.userReply = "-ERR who?"; }), "Invalid username",
       {"CAPA", "USER zorvik1", "QUIT"}, 77},
      {"password refused", with([](Mailbox& b) { b.passReply = "-ERR [AUTH] failed"; }),
       "Invalid username/password combination", login, 77},
      {"mailbox in use", with([](Mailbox& b) { b.passReply = "-ERR [IN-USE] locked by another session"; }),
       "HOST: the mailbox is in use by another session", login, 75},
      {"temporary failure", with([](Mailbox& b) { b.passReply = "-ERR [SYS/TEMP] try later"; }),
       "HOST: login refused for now (-ERR [SYS/TEMP] try later)", login, 75},
      {"line dropped at the password", with([](Mailbox& b) { b.passReply.clear(); }), "POP3 login not completed",
       {"CAPA", "USER zorvik1", "PASS s3cret"}, 75},
      {"capabilities without end", with([](Mailbox& b) {
         b.capa = Lines(1500, "X-FILLER");
         b.capa.front() = "+OK";
       }),
       "POP3 server HOST: the reply to CAPA is too long", {"CAPA"}, 75},
      {"lower-case stat reply", with([](Mailbox& b) { b.statReply = "+ok 1 100"; }),
       "POP3 server responded in error to STAT request", {"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "QUIT"}, 75},
      {"bare stat reply", with([](Mailbox& b) { b.statReply = "+OK"; }), "",
       {"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "QUIT"}, 0},
      {"greeting and user in lower case are fine", with([](Mailbox& b) {
         b.greeting = "+ok hi";
         b.userReply = "+oK";
         b.messages.clear();
       }),
       "", {"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "QUIT"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.box);
    EXPECT_EQ(Commands(), c.commands);
    if (!c.error.empty()) {
      std::string error = c.error;
      if (const auto at = error.find("HOST"); at != std::string::npos) error.replace(at, 4, server->HostPort());
      EXPECT_TRUE(Logged(error));
      EXPECT_EQ(main->lbError->text().toStdString(), error);
    }
    EXPECT_EQ(Logged(server->HostPort() + ": user name or password refused"), c.status == 77);
    EXPECT_EQ(main->RunStatus, c.status);
    // A connection the pass closed itself is no failure of the socket.
    for (const std::string& line : Log()) EXPECT_EQ(line.find("non-socket"), std::string::npos) << line;
    EXPECT_TRUE(InFiles().empty());
    EXPECT_EQ(main->Config.COUNTER, 41);
    ExpectIdleLabels();
    main.reset();
  }
  Run(with([](Mailbox& b) { b.statReply = "+OK"; }));
  EXPECT_TRUE(Logged("0 messages in the mailbox"));
}

// The login's secret from a command or a credential file, or by AUTH with
// the mechanism CAPA's SASL line offers; a refused token is tried once more
// with a fresh one; only a refusal of the credentials is 77.
TEST_F(Pop3Pass, LoginsBySecretSourcesAndSasl) {
  // Tokens of 300 bytes (tok1000..., tok2000...): a command that counts its runs.
  const std::string counting = "n=$(cat " + dir.path() +
                               "n 2>/dev/null || echo 0); n=$((n+1)); echo $n >" + dir.path() +
                               "n; printf 'tok%s%0296d\\n' $n 0";
  const auto ir = [](const std::string& prefix, char n) {
    return "{" + prefix + "auth=Bearer tok" + n + std::string(296, '0') + "^^}";
  };
  const std::string xoauth = "user=zorvik1^", bearer = "n,a=zorvik1,^host=127.0.0.1^port=PORT^";
  const std::string error = "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=";  // {"status":"401","schemes":"bearer"}
  struct Case {
    const char* name;
    std::string sasl;
    std::vector<std::string> authReplies;
    std::function<void(TConfig&)> configure;
    Lines commands;  // zvtest::SaslLine
    int status;
    std::string logged;  // "": nothing in particular
    Lines second = {};   // the commands of a second connection
  };
  const Case cases[] = {
      {"PASSWORD_COMMAND", "", {}, [](TConfig& c) {
         c.PASSWORD.clear();
         c.PASSWORD_COMMAND = "echo fr0m-cmd; echo second";
       },
       {"CAPA", "USER zorvik1", "PASS fr0m-cmd", "STAT", "QUIT"}, 0, ""},
      {"credential file", "", {}, [this](TConfig& c) {
         c.PASSWORD.clear();
         zvtest::WriteFile(dir / "PASSWORD", "fr0m-file\nsecond\n");
         ::setenv("CREDENTIALS_DIRECTORY", dir.path().c_str(), 1);
       },
       {"CAPA", "USER zorvik1", "PASS fr0m-file", "STAT", "QUIT"}, 0, ""},
      {"POP_AUTH PLAIN is SASL", "PLAIN", {"+OK"}, [](TConfig& c) { c.POP_AUTH = "PLAIN"; },
       {"CAPA", "AUTH PLAIN {~zorvik1~s3cret}", "STAT", "QUIT"}, 0, ""},
      {"a long token after the challenge", "XOAUTH2", {"+OK"},
       [&](TConfig& c) { c.OAUTH_TOKEN_COMMAND = counting; },
       {"CAPA", "AUTH XOAUTH2", ir(xoauth, '1'), "STAT", "QUIT"}, 0, ""},
      {"error challenge, then a fresh token", "XOAUTH2 OAUTHBEARER", {error, "-ERR [AUTH] expired", "+OK"},
       [&](TConfig& c) { c.OAUTH_TOKEN_COMMAND = counting; },
       {"CAPA", "AUTH OAUTHBEARER", ir(bearer, '1'), "AQ==", "AUTH OAUTHBEARER", ir(bearer, '2'), "STAT", "QUIT"}, 0,
       "POP3 server HOST refused the login by OAUTHBEARER: status 401"},
      {"refused, and the connection closed", "XOAUTH2", {"!-ERR [AUTH] expired", "+OK"},
       [&](TConfig& c) { c.OAUTH_TOKEN_COMMAND = counting; },
       {"CAPA", "AUTH XOAUTH2", ir(xoauth, '1')}, 0, "", {"CAPA", "AUTH XOAUTH2", ir(xoauth, '2'), "STAT", "QUIT"}},
      {"refused twice", "XOAUTH2", {"-ERR [AUTH] no"}, [&](TConfig& c) { c.OAUTH_TOKEN_COMMAND = counting; },
       {"CAPA", "AUTH XOAUTH2", ir(xoauth, '1'), "AUTH XOAUTH2", ir(xoauth, '2'), "QUIT"}, 77,
       "POP3 server HOST refused the login by XOAUTH2"},
      {"mailbox in use", "XOAUTH2", {"-ERR [IN-USE] locked"}, [&](TConfig& c) { c.OAUTH_TOKEN_COMMAND = counting; },
       {"CAPA", "AUTH XOAUTH2", ir(xoauth, '1'), "QUIT"}, 75, "HOST: the mailbox is in use by another session"},
      {"a token that fits goes on the AUTH line (a strict server refuses it)", "XOAUTH2", {"+OK"},
       [](TConfig& c) { c.OAUTH_TOKEN_COMMAND = "echo tok"; },
       {"CAPA", "AUTH XOAUTH2 {user=zorvik1^auth=Bearer tok^^}", "AUTH XOAUTH2 {user=zorvik1^auth=Bearer tok^^}",
        "QUIT"}, 77, ""},
      {"mechanism not offered", "PLAIN XOAUTH2", {"+OK"}, [](TConfig& c) {
         c.POP_AUTH = "OAUTHBEARER";
         c.OAUTH_TOKEN_COMMAND = "echo tok";
       },
       {"CAPA", "QUIT"}, 75, "POP3 server HOST does not offer authentication by OAUTHBEARER"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mailbox box;
    box.sasl = c.sasl;
    box.authReplies = c.authReplies;
    ::unlink((dir / "ZVMAIL32.INI").c_str());  // the keys of the case before
    ::unlink((dir / "n").c_str());
    Prepare(box);
    c.configure(main->Config);
    main->Config.DEBUG = true;
    main->ReceiveMail();
    ASSERT_TRUE(server->WaitFinished(c.second.empty() ? 1 : 2));
    ::unsetenv("CREDENTIALS_DIRECTORY");
    for (std::size_t connection : {0, 1}) {
      Lines expected;
      for (const auto& line : connection ? c.second : c.commands)
        expected.push_back(zvtest::SaslLine(line, server->Port()));
      EXPECT_EQ(server->Lines(connection), expected);
    }
    EXPECT_EQ(main->RunStatus, c.status);
    std::string logged = c.logged;
    if (const auto at = logged.find("HOST"); at != std::string::npos) logged.replace(at, 4, server->HostPort());
    EXPECT_TRUE(logged.empty() || Logged(logged)) << logged;
    for (const auto& line : Log()) {
      for (const char* secret : {"s3cret", "fr0m", "tok1", "tok2", "second", "eyJzdGF0"})
        EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
    main.reset();
  }

  // A command that fails ends the pass before a connection is made.
  Mailbox box;
  ::unlink((dir / "ZVMAIL32.INI").c_str());
  Prepare(box);
  main->Config.PASSWORD_COMMAND = "echo s3cret; echo 'no such entry' >&2; exit 3";
  main->ReceiveMail();
  EXPECT_EQ(server->Connections(), 0u);
  EXPECT_EQ(main->RunStatus, 75);
  EXPECT_TRUE(Logged("PASSWORD_COMMAND failed with exit status 3: no such entry"));
  for (const auto& line : Log()) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

// A listing must come whole within the reply limit, and a message within
// that and a second per 64 KB of its size, however their lines trickle: the
// connection is cut, nothing is filed or deleted.
TEST_F(Pop3Pass, TricklingRepliesAreCutAsAWhole) {
  const Lines login = {"CAPA", "USER zorvik1", "PASS s3cret", "STAT"};
  for (const char* paced : {"CAPA", "UIDL", "LIST", "RETR"}) {
    SCOPED_TRACE(paced);
    Mailbox box;
    box.messages = {ZorvikMessage("Subject: Transport", Lines(40, "slow"))};
    box.pipelining = true;
    box.uids = std::vector<std::string>(200, "same");
    box.capa = Lines(200, "X-FILLER");
    box.capa.front() = "+OK";
    box.capa.push_back(".");
    box.paced = paced;
    Prepare(box);
    main->ReplyLimit = std::chrono::milliseconds(400);
    main->Config.MAXSIZE = "1000";
    Receive();
    const std::string command = paced;
    Lines expected = command == "CAPA" ? Lines{"CAPA"} : login;
    if (command != "CAPA") expected.push_back("UIDL");
    if (command == "LIST" || command == "RETR") expected.push_back("LIST");
    if (command == "RETR") expected.push_back("RETR 1");
    EXPECT_EQ(Commands(), expected);
    const std::string cut = server->HostPort() + ": no complete reply within ";
    const auto log = Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(cut, 0) == 0; }));
    EXPECT_EQ(main->RunStatus, 75);
    EXPECT_EQ(InFiles(), std::set<std::string>{});
    main.reset();
  }
}

TEST_F(Pop3Pass, OnlyALoneDotEndsAMessageAndStuffedDotsAreRemoved) {
  Mailbox box;
  box.messages = {ZorvikMessage("Subject: Receipt", {" .", "..", "...x", "..Subject", " . ", "last"}),
                  {"From: a", "To: b", ".Subject: Transport", "", "x"}};
  Run(box);
  EXPECT_EQ(ReadFile(in + "00000042.TXT"),
            "From: sender@example.com\nTo: robot@example.com\nSubject: Receipt\n\n .\n.\n..x\n.Subject\n . \nlast\n");
  // The line is classified after its dot was removed.
  EXPECT_EQ(ReadFile(in + "00000043.TXT"), "From: a\nTo: b\nSubject: Transport\n\nx\n");
  // Without PIPELINING every command waits for the reply to the one before.
  EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "RETR 2",
                               "DELE 2", "QUIT"}));
  EXPECT_EQ(server->SentAhead(0), Lines{});
}

TEST_F(Pop3Pass, LongMessagesAreFiledByteForByte) {
  Lines body;
  std::string expected = "From: a\nTo: b\nSubject: transport\n\n";
  for (int i = 0; i < 700; ++i) {
    std::string line = "line " + std::to_string(i) + " " + std::string(size_t(i % 97) * 13, char('a' + i % 26));
    body.push_back(line);
    expected += line + "\n";
  }
  Mailbox box;
  box.messages = {{"From: a", "To: b", "Subject: transport", ""}};
  box.messages[0].insert(box.messages[0].end(), body.begin(), body.end());
  Run(box);
  EXPECT_EQ(ReadFile(in + "00000042.TXT"), expected);
  EXPECT_EQ(ReadFile(in + "00000042.WRK"), kEnvelope);
}

TEST_F(Pop3Pass, MissingIncomingDirectoryEndsThePassBeforeItConnects) {
  in = dir / "gone/";
  Mailbox box;
  box.messages = {ZorvikMessage(), ZorvikMessage()};
  Prepare(box);
  main->ReceiveMail();
  EXPECT_EQ(server->Connections(), 0u);
  EXPECT_TRUE(Logged("IN " + in + ": No such file or directory"));
  EXPECT_EQ(main->lbError->text().toStdString(), "IN " + in + ": No such file or directory");
  EXPECT_EQ(main->RunStatus, 73);
  EXPECT_EQ(main->Config.COUNTER, 41);
  EXPECT_FALSE(main->Busy);
}

TEST_F(Pop3Pass, RefusedRetrieveLeavesThatMessageAndSkipsTheRest) {
  Mailbox box;
  box.messages = {ZorvikMessage(), ZorvikMessage(), ZorvikMessage()};
  box.refuseRetr = {2};
  Prepare(box);
  main->Config.DELETEALL = true;
  Receive();
  EXPECT_TRUE(Logged("Message 2 could not be retrieved"));
  EXPECT_EQ(Commands(),
            (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "RETR 2", "QUIT"}));
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK"}));
  EXPECT_EQ(main->Config.COUNTER, 43);
  // Nothing made ahead for message 3 is left behind, on disk or in the record.
  EXPECT_FALSE(FileExists(in + ".00000044.WRK.tmp"));
  EXPECT_EQ(ReadFile(dir / "ZVMAIL32.UID").find("begun"), std::string::npos);
}

TEST_F(Pop3Pass, DroppedConnectionDeletesNothingAndRemovesThePartialFile) {
  for (auto drop : {ScriptedServer::Action::Reset, ScriptedServer::Action::Close}) {
    SCOPED_TRACE(drop == ScriptedServer::Action::Reset ? "reset" : "closed");
    for (const auto& name : InFiles()) std::remove((in + name).c_str());
    Mailbox box;
    box.messages = {ZorvikMessage(), ZorvikMessage("Subject: Transport", {"a", "b", "c"})};
    box.dropInRetr = 2;
    box.drop = drop;
    Run(box);
    // A reset may discard what came of message 2 before it was read.
    EXPECT_TRUE(Logged("Message 2 not completed") ||
                (drop == ScriptedServer::Action::Reset && Logged("Message 2 could not be retrieved")));
    // Without QUIT the server deletes nothing.
    EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "RETR 2"}));
    EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK"}));
    ExpectIdleLabels();
    main.reset();
  }
}

TEST_F(Pop3Pass, MessageWithALineTooLongForTheSocketStaysAndTheNextIsFetched) {
  Mailbox box;
  // The socket gives up after 8192 bytes of the long line; what follows of
  // it is "." and must not be taken for the end line.
  box.messages = {ZorvikMessage("Subject: Transport", {std::string(8192, 'x') + ".", "after", std::string(20000, 'y')}),
                  ZorvikMessage()};
  Run(box);
  EXPECT_TRUE(Logged("Message 1 not completed"));
  EXPECT_EQ(Commands(),
            (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "RETR 2", "DELE 2", "QUIT"}));
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000043.TXT", "00000043.WRK"}));
  EXPECT_EQ(main->Config.COUNTER, 43);
}

// The real file system, but writes to the file named `failing` fail as on a
// full disk.
class FullDisk : public plat::FilingService {
 public:
  // `failing`: the file whose writes fail; `syncFails`: a flush of the file
  // system reports an error (someone's); `badSync`: flushing that file fails.
  explicit FullDisk(std::string failing, bool syncFails = false, std::string badSync = {})
      : failing_(std::move(failing)), syncFails_(syncFails), badSync_(std::move(badSync)) {}
  int OpenDirectory(const std::string& p) override { return real_->OpenDirectory(p); }
  int CreateExclusive(int dir, const std::string& name, unsigned mode) override {
    const int fd = real_->CreateExclusive(dir, name, mode);
    if (name == failing_) failingFd_ = fd;
    return fd;
  }
  bool WriteAll(int fd, const char* data, std::size_t size) override {
    if (fd == failingFd_) return errno = ENOSPC, false;
    return real_->WriteAll(fd, data, size);
  }
  bool SyncDirectory(int dir) override { return real_->SyncDirectory(dir); }
  bool SyncFileSystem(int dir) override { return !syncFails_ && real_->SyncFileSystem(dir); }
  int OpenForSync(int dir, const std::string& name) override {
    ++flushedOneByOne;
    const int fd = real_->OpenForSync(dir, name);
    if (name == badSync_) failingFd_ = fd;
    return fd;
  }
  bool DataSync(int fd) override { return fd != failingFd_ && real_->DataSync(fd); }
  int flushedOneByOne = 0;
  bool Close(int fd) override {
    if (fd == failingFd_) failingFd_ = -1;
    return real_->Close(fd);
  }
  bool RenameNoReplace(int dir, const std::string& from, const std::string& to) override {
    return real_->RenameNoReplace(dir, from, to);
  }
  bool Remove(int dir, const std::string& name) override { return real_->Remove(dir, name); }
  std::vector<std::string> List(int dir) override { return real_->List(dir); }
  bool Identify(int dir, const std::string& name, plat::FileFacts& id) override {
    return real_->Identify(dir, name, id);
  }
  bool IdentifyOpen(int fd, plat::FileFacts& id) override { return real_->IdentifyOpen(fd, id); }

 private:
  std::string failing_;
  bool syncFails_;
  std::string badSync_;
  int failingFd_ = -1;
  std::shared_ptr<plat::FilingService> real_ = plat::DefaultFilingService();
};

TEST_F(Pop3Pass, WriteErrorsNeverLetAMessageBeDeleted) {
  struct Case {
    const char* failing;
    std::string error;
  };
  const Case cases[] = {
      {"00000043.TXT", "Could not write message " + in + "00000043.TXT"},
      {".00000043.WRK.tmp", "Could not write message " + in + "00000043.WRK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    for (const auto& name : InFiles()) std::remove((in + name).c_str());
    Mailbox box;
    box.pipelining = true;
    box.messages = {ZorvikMessage(), ZorvikMessage("Subject: Transport", {"a", "..", "b"}), ZorvikMessage()};
    services.files = std::make_shared<FullDisk>(c.failing);
    Prepare(box);
    main->Config.DEBUG = true;
    Receive();
    EXPECT_TRUE(Logged(c.error));
    // Message 3 was asked for before message 2 failed: it is read past, so
    // the reply read for QUIT is QUIT's own, and neither is filed or deleted.
    EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "LIST", "RETR 1", "RETR 2",
                                 "RETR 3", "DELE 1", "QUIT"}));
    EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK"}));
    std::string lastReply;
    for (const auto& line : Log())
      if (line.rfind("DEBUG:R:", 0) == 0) lastReply = line;
    EXPECT_EQ(lastReply, "DEBUG:R:+OK Logging out.");
    main.reset();
  }
}

// Everything filed is on stable storage before QUIT. One flush of the file
// system covers it; when that reports an error (maybe someone else's file),
// each of ours is flushed on its own, and only an error of ours keeps QUIT
// back (then nothing is deleted and the log says why).
TEST_F(Pop3Pass, OnlyAFlushErrorOfOurOwnKeepsQuitBack) {
  for (const bool oursFails : {false, true}) {
    SCOPED_TRACE(oursFails ? "our file fails" : "another file fails");
    for (const auto& name : InFiles()) std::remove((in + name).c_str());
    auto disk = std::make_shared<FullDisk>("", true, oursFails ? "00000043.TXT" : "");
    services.files = disk;
    Mailbox box;
    box.messages = {ZorvikMessage(), ZorvikMessage()};
    Prepare(box);
    Receive();
    EXPECT_GE(disk->flushedOneByOne, 3);
    const Lines commands = Commands();
    EXPECT_EQ(commands.back() == "QUIT", !oursFails);
    EXPECT_EQ(Logged("Could not write message " + in + "00000043.TXT"), oursFails);
    // A pair appears only once it is on stable storage.
    EXPECT_EQ(InFiles().size(), oursFails ? 0u : 4u);
    main.reset();
  }
}

// A server that offers STLS to a client without POP_TLS: the dialogue stays
// as it is, and the log says the password went in clear.
TEST_F(Pop3Pass, APasswordInClearWhereTheServerOffersStlsIsTold) {
  Mailbox box;
  box.stls = true;
  Run(box);
  EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "QUIT"}));
  EXPECT_TRUE(Logged(server->HostPort() +
                     ": the password goes in clear although the server offers STLS; set POP_TLS STARTTLS to protect it"));
}

TEST_F(Pop3Pass, DebugTraceShowsEveryLineButNeverThePassword) {
  Mailbox box;
  box.messages = {ZorvikMessage("Subject: Transport", {"one", "two"})};
  Prepare(box);
  main->Config.DEBUG = true;
  Receive();
  const auto log = Log();
  const Lines traced(log.begin(), log.end());
  for (const auto& line : traced) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
  Lines commands, replies;
  for (const auto& line : traced) {
    if (line.rfind("DEBUG:C:", 0) == 0) commands.push_back(line.substr(8));
    if (line.rfind("DEBUG:R:", 0) == 0) replies.push_back(line.substr(8));
  }
  EXPECT_EQ(traced.front(), "DEBUG:Opening POP3 connection");
  EXPECT_EQ(commands, (Lines{"CAPA", "USER zorvik1", "STAT", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
  EXPECT_EQ(replies, (Lines{"+OK POP3 ready", "-ERR", "+OK", "+OK Logged in.", "+OK 1 4096", "-ERR no such message",
                            "+OK message follows",
                            "From: sender@example.com", "To: robot@example.com", "Subject: Transport", "", "one",
                            "two", ".", "+OK Marked to be deleted.", "+OK Logging out."}));
}

// However many lines a server sends, the trace of one reply is bounded; the
// next reply is traced again.
TEST_F(Pop3Pass, TheTraceOfOneReplyIsBounded) {
  Mailbox box;
  box.messages = {ZorvikMessage("Subject: Transport", Lines(500, ""))};
  Prepare(box);
  main->Config.DEBUG = true;
  main->DataTraceLimit = 250;
  Receive();
  Lines replies;
  for (const auto& line : Log())
    if (line.rfind("DEBUG:R:", 0) == 0) replies.push_back(line.substr(8));
  const auto retrieved = std::find(replies.begin(), replies.end(), "+OK message follows");
  ASSERT_NE(retrieved, replies.end());
  EXPECT_EQ(Lines(retrieved, replies.end()),
            (Lines{"+OK message follows", "From: sender@example.com", "To: robot@example.com", "Subject: Transport",
                   "", "... (the rest of this reply is not traced)", "+OK Marked to be deleted.",
                   "+OK Logging out."}));
  EXPECT_EQ(InFiles().size(), 2u);
}

// With ids from UIDL a message filed in a pass whose QUIT went unanswered is
// deleted, not fetched and filed again, by the next pass; a message left on
// the server as not for Zorvik is not fetched again; the record keeps only
// what the server still holds.
TEST_F(Pop3Pass, IdsMakeFilingExactlyOnceAcrossALostQuit) {
  Mailbox box;
  box.messages = {ZorvikMessage(), ZorvikMessage("Subject: lunch?"), ZorvikMessage("Subject: Receipt")};
  box.uids = {"uid-a", "uid-b", "uid-c"};
  box.dropQuitOf = 0;
  Prepare(box);
  main->ReceiveMail();
  ASSERT_TRUE(server->WaitFinished(1));
  EXPECT_EQ(Commands(), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "RETR 2",
                               "RETR 3", "DELE 3", "QUIT"}));
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK", "00000044.TXT", "00000044.WRK"}));

  main->ReceiveMail();
  ASSERT_TRUE(server->WaitFinished(2));
  EXPECT_EQ(server->Lines(1), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "DELE 1", "DELE 3", "QUIT"}));
  EXPECT_TRUE(Logged("Message 1 was filed before; deleting it"));
  EXPECT_TRUE(Logged("Message 3 was filed before; deleting it"));
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK", "00000044.TXT", "00000044.WRK"}));
  EXPECT_EQ(main->Config.COUNTER, 44);
  EXPECT_FALSE(main->GotZorvikMail);
  const std::string record = ReadFile(dir / "ZVMAIL32.UID");
  EXPECT_EQ(record.find("filed"), std::string::npos) << record;
  EXPECT_NE(record.find("left other uid-b"), std::string::npos) << record;
  struct stat st {};
  ASSERT_EQ(::stat((dir / "ZVMAIL32.UID").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A message left on the server for its size is judged again each pass and
// fetched once MAXSIZE allows it; every pass that leaves messages for their
// size says how many and their total size.
TEST_F(Pop3Pass, SizeLimitsAreJudgedAgainEachPass) {
  Mailbox box;
  box.messages = {ZorvikMessage()};
  box.uids = {"u1"};
  box.sizes = {5000};
  Prepare(box);
  const Lines listed = {"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "LIST", "QUIT"};
  for (std::size_t pass = 0; pass < 3; ++pass) {
    SCOPED_TRACE(pass);
    main->Config.MAXSIZE = pass < 2 ? "1000" : "10000";
    main->ReceiveMail();
    ASSERT_TRUE(server->WaitFinished(pass + 1));
    if (pass < 2) {
      EXPECT_EQ(server->Lines(pass), listed);
      EXPECT_NE(ReadFile(dir / "ZVMAIL32.UID").find("left large u1 5000\n"), std::string::npos);
    }
  }
  EXPECT_EQ(server->Lines(2), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
  EXPECT_EQ(InFiles(), (std::set<std::string>{"00000042.TXT", "00000042.WRK"}));
  const auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Message 1 is larger than MAXSIZE; it is left on the server"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Left on the server for their size: 1 messages, 5000 bytes"), 2);
}

// An id record that is not a regular file is refused at once, saying what
// it is (a FIFO is never waited on): nothing is filed or deleted.
TEST_F(Pop3Pass, AnIdRecordThatIsNoFileStopsTheFiling) {
  const std::string record = dir / "ZVMAIL32.UID";
  WriteFile(dir / "elsewhere", "");
  const std::pair<const char*, std::function<int()>> kinds[] = {
      {"it is not a regular file", [&] { return ::mkfifo(record.c_str(), 0600); }},
      {"it is a directory", [&] { return ::mkdir(record.c_str(), 0700); }},
      {"it is a link", [&] { return ::symlink((dir / "elsewhere").c_str(), record.c_str()); }}};
  for (const auto& [what, make] : kinds) {
    SCOPED_TRACE(what);
    ASSERT_EQ(make(), 0);
    Mailbox box;
    box.messages = {ZorvikMessage()};
    Run(box);
    EXPECT_TRUE(Logged(record + " cannot be read: " + what));
    EXPECT_EQ(main->RunStatus, 73);
    EXPECT_EQ(Commands(), (Lines{"CAPA", "QUIT"}));
    EXPECT_TRUE(InFiles().empty());
    main.reset();
    std::filesystem::remove(record);
  }
}

// An id the listing gives to three messages counts for none of them: none
// is recorded as left.
TEST_F(Pop3Pass, AnIdGivenThriceCountsForNone) {
  Mailbox box;
  box.messages = {ZorvikMessage("Subject: lunch?"), ZorvikMessage("Subject: lunch?"), ZorvikMessage("Subject: lunch?")};
  box.uids = {"dup", "dup", "dup"};
  Run(box);
  EXPECT_EQ(ReadFile(dir / "ZVMAIL32.UID").find("dup"), std::string::npos);
}

// With PIPELINING offered, LIST goes out with UIDL and the retrievals go out
// together up front (later ones with the DELE of the message just filed),
// within a window of 256 KB by their listed sizes (a size not listed counts
// as 16 KB) or 64 messages; replies are still taken in order.
TEST_F(Pop3Pass, PipeliningSendsRetrievalsAheadWithinTheWindow) {
  struct Case {
    const char* name;
    int count;
    std::size_t listed;  // every message's size in LIST; 0 tells none
    int window;          // RETRs sent before the first DELE
  };
  const Case cases[] = {
      {"a few small ones", 3, 300, 3},
      {"by listed size", 5, 100000, 3},
      {"by number", 66, 300, 64},
      {"sizes not listed", 18, 0, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& name : InFiles()) std::remove((in + name).c_str());
    Mailbox box;
    box.pipelining = true;
    for (int i = 1; i <= c.count; ++i) {
      box.uids.push_back("u" + std::to_string(i));
      box.messages.push_back(i % 2 ? ZorvikMessage() : ZorvikMessage("Subject: Receipt", {std::to_string(i)}));
      box.sizes.push_back(c.listed);
    }
    Prepare(box);
    Receive();
    const Lines commands = Commands();
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(Lines(commands.begin(), commands.begin() + 6), (Lines{"CAPA", "USER zorvik1", "PASS s3cret", "STAT",
                                                                    "UIDL", "LIST"}));
    const auto retr = [](const std::string& l) { return l.rfind("RETR", 0) == 0; };
    const auto dele = [](const std::string& l) { return l.rfind("DELE", 0) == 0; };
    EXPECT_EQ(std::count_if(commands.begin(), std::find(commands.begin(), commands.end(), "DELE 1"), retr), c.window);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), dele), c.count);
    EXPECT_EQ(commands.back(), "QUIT");
    const Lines ahead = server->SentAhead(0);
    ASSERT_GE(ahead.size(), 3u);
    EXPECT_EQ(Lines(ahead.begin(), ahead.begin() + 3), (Lines{"UIDL", "RETR 1", "RETR 2"}));
    EXPECT_EQ(InFiles().size(), 2u * std::size_t(c.count));
    EXPECT_EQ(ReadFile(in + "00000043.TXT"),
              "From: sender@example.com\nTo: robot@example.com\nSubject: Receipt\n\n2\n");
    main.reset();
  }
}

TEST_F(Pop3Pass, RefusedConnectionEndsThePassAtOnce) {
  Mailbox box;
  Prepare(box);
  server->Stop();  // nothing listens on that port any more
  main->ReceiveMail();
  EXPECT_FALSE(main->Busy);
  EXPECT_EQ(main->lbAction->text().toStdString(), "Receiving");
  EXPECT_NE(main->lbError->text().toStdString(), "None");
  EXPECT_EQ(main->Config.COUNTER, 41);
}

TEST_F(Pop3Pass, BusyMainWindowDoesNotStartAPass) {
  Mailbox box;
  box.messages = {ZorvikMessage()};
  Prepare(box);
  main->Busy = true;
  main->GotZorvikMail = true;
  main->ReceiveMail();
  EXPECT_EQ(server->Connections(), 0u);
  EXPECT_TRUE(main->GotZorvikMail);
}

}  // namespace
