// Local pipes: the channel's server end against its client end and against
// socat, CDevNet against socat playing a server, the pipe folder, and
// "zor server --headless" as a program.
#include "support/local_pipe_fixture.h"

TEST_F(LocalPipe, ServerWaitsForAClientWithoutSpinningServesOneAndIsReadyForTheNext) {
  RecordingPipe server;
  ASSERT_TRUE(server.create("T"));
  EXPECT_EQ(sockets(), 2);
  EXPECT_FALSE(server.write("x", 1)) << "no client to write to";
  long cpu = processCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(processCpuMs() - cpu, 150) << "the reading thread spins while no client is there";
  EXPECT_TRUE(server.waitLinks(1, 0).empty());

  auto client = std::make_unique<RecordingPipe>();
  ASSERT_TRUE(client->connect(".", "T"));
  EXPECT_EQ(server.waitLinks(1), std::vector<bool>{true});
  CNamedPipe second(64);
  EXPECT_FALSE(second.connect(".", "T"));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);

  ASSERT_TRUE(client->writeString("AB"));
  EXPECT_EQ(server.waitBytes(3), (std::vector<unsigned char>{'A', 'B', 0}));
  server.forget();
  auto block = pattern(1500);
  ASSERT_TRUE(client->write(block.data(), 1500));
  EXPECT_EQ(server.waitBytes(1500), block) << "whole and in order";
  EXPECT_LE(server.largestChunk(), 64u);
  ASSERT_TRUE(server.write(block.data(), 1500));
  EXPECT_EQ(client->waitBytes(1500), block);

  client.reset();
  EXPECT_EQ(server.waitLinks(2), (std::vector<bool>{true, false}));
  // Re-created under the same names: the next client is served.
  RecordingPipe next;
  ASSERT_TRUE(waitUntil([&] { return next.connect(".", "T"); }, 10000));
  EXPECT_EQ(server.waitLinks(3), (std::vector<bool>{true, false, true}));
  server.forget();
  ASSERT_TRUE(next.writeString("C"));
  EXPECT_EQ(server.waitBytes(2), (std::vector<unsigned char>{'C', 0}));
}

TEST_F(LocalPipe, NamesStayInThePipeFolderAndTheFolderMustBeSafe) {
  CNamedPipe pipe(64);
  for (const char* base : {"../evil", "a/b", "..", ""}) {
    EXPECT_FALSE(pipe.create(base)) << base;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << base;
  }
  EXPECT_FALSE(pipe.create(std::string(200, 'x').c_str())) << "too long for a socket address";
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FALSE(pipe.connect("../..", "ZORPIPE"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(pipe.connect("lab7.example", "ZORPIPE"));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  std::error_code ec;
  int outside = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root, ec))
    if (entry.path().parent_path() != dir && entry.path() != dir) ++outside;
  EXPECT_EQ(outside, 0) << "a name reached outside the pipe folder";

  // A folder others may write is refused, and nothing is made in it.
  fs::permissions(dir, fs::perms::all);
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(sockets(), 0);
  fs::permissions(dir, fs::perms::owner_all);
  EXPECT_TRUE(pipe.create("T"));
}

TEST_F(LocalPipe, TheDefaultFolderIsOnlyEverAFolderOfThisUsersWithMode0700) {
  const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = oldRuntime != nullptr ? oldRuntime : "";
  unsetenv("ZOR_PIPE_DIR");
  setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
  const std::string folder = root + "/zor", target = root + "/chosen";
  fs::create_directory(target);
  fs::permissions(target, fs::perms::owner_all);
  fs::create_directory_symlink(target, folder);
  std::string problem;
  CNamedPipe pipe(64);
  EXPECT_EQ(pipeFolder(&problem), "");
  EXPECT_NE(problem.find(folder + " is a symbolic link"), std::string::npos) << problem;
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_empty(target)) << "a socket was made at the link's target";

  fs::remove(folder);
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(pipeFolder(&problem), "");
  EXPECT_NE(problem.find("has mode 0750, not 0700"), std::string::npos) << problem;
  EXPECT_TRUE(fs::is_empty(folder));

  fs::remove(folder);
  EXPECT_TRUE(pipe.create("T"));
  EXPECT_EQ(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
  pipe.close();
  setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  if (oldRuntime == nullptr) unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(LocalPipe, DevNetOpensOnlyAServerOfThisComputerAndClassifiesPipeErrors) {
  ExposedNet empty;
  EXPECT_FALSE(empty.OpenDevice(0, 8192, 8192));
  EXPECT_FALSE(fs::exists(dir)) << "an empty host touched the pipes";
  ExposedNet none(".");
  EXPECT_FALSE(none.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ExposedNet remote("lab7.example");
  EXPECT_FALSE(remote.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  ExposedNet sly("../x");
  EXPECT_FALSE(sly.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(none.GetIOSize(0), 64);
  EXPECT_EQ(none.GetIOSize(1), 64);
  EXPECT_TRUE(none.on_io_error(ERROR_NO_DATA, 0));
  EXPECT_TRUE(none.on_io_error(ERROR_BROKEN_PIPE, 1));
  EXPECT_FALSE(none.on_io_error(ERROR_PIPE_BUSY, 1));
}

TEST_F(LocalPipe, DevNetTalksToSocatPlayingTheServer) {
  if (!haveProgram("socat")) GTEST_SKIP() << "socat is not installed";
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_all);
  auto answer = pattern(3000, 7);
  writeFileBytes(root + "/answer.bin", answer);
  // ignoreeof: the server stays after its answer, as an instrument would.
  BackgroundProcess out(
      {"socat", "-u", "OPEN:" + root + "/answer.bin,ignoreeof", "UNIX-LISTEN:" + sock("ZORPIPE_OUT")});
  BackgroundProcess in({"socat", "-u", "UNIX-LISTEN:" + sock("ZORPIPE_IN"), "CREATE:" + root + "/heard.bin"});
  ASSERT_TRUE(waitUntil([&] { return sockets() == 2; }, 5000));
  CDevNet client("localhost");
  ASSERT_TRUE(client.OpenDevice(3, 8192, 8192));
  EXPECT_EQ(readBytes(client, answer.size(), 5000), answer);
  auto query = pattern(2000, 3);
  ASSERT_TRUE(write(client, query));
  EXPECT_EQ(waitFileBytes(root + "/heard.bin", query.size(), 5000), query);
}

TEST_F(LocalPipe, HeadlessServerServesTheStoredChoiceUntilStopped) {
  fs::path program = fs::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor";
  if (!fs::exists(program)) GTEST_SKIP() << "the zor program is not built";
  writeText(root + "/zor.ini", "[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\n");
  BackgroundProcess server({program.string(), "server", "--headless"}, root + "/out.txt",
                           {"ZOR_CONFIG=" + root + "/zor.ini", "ZOR_PIPE_DIR=" + dir});
  ASSERT_TRUE(waitUntil([&] { return sockets() == 2; }, 5000));
  {
    // A client that opened one pipe only and closed it: the server serves the next.
    auto stray = connectLocalPipe(CNamedPipe::outPipeName(".", CDevNet::ZOR_NETPIPE).c_str(), 0, nullptr);
    ASSERT_TRUE(stray);
    stray.reset();
    CDevNet client(".");
    ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(0, 8192, 8192); }, 5000));
    std::vector<unsigned char> ping{'p', 'i', 'n', 'g'};
    ASSERT_TRUE(write(client, ping));
    EXPECT_EQ(readBytes(client, 4, 5000), ping);
  }
  EXPECT_TRUE(
      waitUntil([&] { return readText(root + "/out.txt").find(" left\n") != std::string::npos; }, 5000));
  server.stop(2);
  EXPECT_EQ(server.exitCode(), 0);
  std::string out = readText(root + "/out.txt");
  EXPECT_EQ(out.rfind("process ", 0), 0u) << out;
  EXPECT_NE(out.find(" dropped: it opened one of the two pipes only\nprocess "), std::string::npos) << out;
  EXPECT_NE(out.find(" connected\n"), std::string::npos) << out;
  EXPECT_EQ(sockets(), 0) << "the server left its sockets behind";
}

TEST_F(LocalPipe, HeadlessServerSaysWhyItCannotMakeItsPipes) {
  const std::string program =
      (fs::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor").string();
  if (!fs::exists(program)) GTEST_SKIP() << "the zor program is not built";
  writeText(root + "/zor.ini", "[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\n");
  auto refusal = [&](const std::string& folder) {
    ProcessResult r = runProcess(program, {"server", "--headless"},
                                 {{"ZOR_CONFIG", root + "/zor.ini"}, {"ZOR_PIPE_DIR", folder}}, 10000);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("zor server: * Server error! * "), std::string::npos) << r.err;
    return r.err;
  };
  const std::string deep = root + "/" + std::string(100, 'd');
  EXPECT_NE(refusal(deep).find(deep + "/ZORPIPE_OUT is too long for a local socket"), std::string::npos);

  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_all);
  writeText(dir + "/ZORPIPE_IN", "notes");
  EXPECT_NE(refusal(dir).find(dir + "/ZORPIPE_IN is in the way"), std::string::npos);
  EXPECT_EQ(readText(dir + "/ZORPIPE_IN"), "notes") << "the file in the way was touched";
  fs::remove(dir + "/ZORPIPE_IN");

  CDevNull device;
  CIntranetServer other(&device, nullptr);
  ASSERT_TRUE(other.Start());
  EXPECT_NE(refusal(dir).find("another server has them"), std::string::npos);
  other.Stop();
  fs::permissions(dir, fs::perms::all);
  EXPECT_NE(refusal(dir).find("may be written by other users"), std::string::npos);
}
