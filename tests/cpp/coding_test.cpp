// UTF-8 validation and the buffered writer and reader under the log and the snapshot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "core/coding.h"

TEST(Utf8, AcceptsAndRejects) {
  auto ok = [](const char* s) { return korvane::valid_utf8(reinterpret_cast<const uint8_t*>(s), strlen(s)); };
  EXPECT_TRUE(ok("plain ascii text that is long enough"));
  EXPECT_TRUE(ok("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_FALSE(ok("\xc0\xaf"));          // overlong
  EXPECT_FALSE(ok("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(ok("abcdefgh\xe2\x82"));  // cut short after the fast path
  EXPECT_FALSE(ok("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}

namespace {

// An anonymous temporary file; closed with the object.
struct TempFile {
  FILE* f = std::tmpfile();
  ~TempFile() { std::fclose(f); }
  int fd() const { return fileno(f); }
  std::string contents() const {
    off_t n = ::lseek(fd(), 0, SEEK_END);
    std::string s(static_cast<size_t>(n), '\0');
    EXPECT_EQ(::pread(fd(), s.data(), s.size(), 0), n);
    return s;
  }
  void write(const std::string& s) const { ASSERT_EQ(::pwrite(fd(), s.data(), s.size(), 0), static_cast<ssize_t>(s.size())); }
};

}  // namespace

TEST(BufWriter, PiecesReachTheFileOnlyWhenTheNextDoesNotFit) {
  TempFile t;
  korvane::BufWriter w(t.fd(), 16);
  ASSERT_TRUE(w.put("aaaaaaaaaa", 10));
  ASSERT_TRUE(w.put("bbbbbb", 6));  // exactly fills the buffer
  EXPECT_EQ(t.contents(), "");
  ASSERT_TRUE(w.put("c", 1));  // does not fit: the 16 buffered bytes go first
  EXPECT_EQ(t.contents(), "aaaaaaaaaabbbbbb");
  EXPECT_EQ(w.buffered(), 1u);
  std::string big(16, 'd');  // as large as the buffer: straight through, after what was buffered
  ASSERT_TRUE(w.put(big.data(), big.size()));
  EXPECT_EQ(t.contents(), "aaaaaaaaaabbbbbbc" + big);
  EXPECT_EQ(w.buffered(), 0u);
  ASSERT_TRUE(w.put("e", 1));
  w.discard();
  ASSERT_TRUE(w.flush());
  EXPECT_EQ(t.contents(), "aaaaaaaaaabbbbbbc" + big);
}

TEST(BufWriter, AFailedWriteKeepsTheBufferedBytes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // writes now fail (EPIPE; the test binary ignores SIGPIPE below)
  std::signal(SIGPIPE, SIG_IGN);
  korvane::BufWriter w(fds[1], 8);
  ASSERT_TRUE(w.put("abc", 3));
  auto s = w.flush();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().errnum, EPIPE);
  EXPECT_EQ(w.buffered(), 3u);
  ::close(fds[1]);
}

TEST(BufReader, CountsAreCheckedAgainstTheFile) {
  TempFile t;
  std::string data;
  auto u64 = [&](uint64_t v) { data.append(reinterpret_cast<const char*>(&v), 8); };
  u64(3);
  data += "abc";
  u64(2);
  data += "\xc3\x28";  // invalid UTF-8
  u64(1000);           // runs past the end
  data += "xy";
  t.write(data);
  korvane::BufReader r(t.fd(), data.size(), 4);  // a tiny buffer: pieces cross refills
  std::string s;
  ASSERT_TRUE(r.text(&s));
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(r.position(), 11u);
  EXPECT_FALSE(r.text(&s));
  EXPECT_EQ(r.position(), 21u);
  EXPECT_FALSE(r.text(&s));
  EXPECT_EQ(r.remaining(), 2u);
  char two[3];
  EXPECT_FALSE(r.read(two, 3));  // more than remains: nothing consumed
  ASSERT_TRUE(r.read(two, 2));
  EXPECT_EQ(std::string(two, 2), "xy");
  uint8_t b;
  EXPECT_FALSE(r.u8(&b));
}

TEST(BufReader, LargePiecesAndSmallOnesInterleave) {
  TempFile t;
  std::string data;
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<char>(i * 7));
  t.write(data);
  korvane::BufReader r(t.fd(), data.size(), 64);
  std::string got;
  for (size_t n : {1, 63, 64, 65, 1000, 3, 3000}) {
    std::string piece(n, '\0');
    ASSERT_TRUE(r.read(piece.data(), n)) << n;
    got += piece;
  }
  std::string rest(r.remaining(), '\0');
  ASSERT_TRUE(r.read(rest.data(), rest.size()));
  EXPECT_EQ(got + rest, data);
}
