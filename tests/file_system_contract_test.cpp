// The same cases against the in-memory file system the unit suites use and
// against the real one: what each task of the file-system interface answers,
// and how it fails, so that the fake cannot drift from the system.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/temporary_name.h"
#include "support/fake_fs.h"
#include "support/temp_tree.h"

namespace qmr {
namespace {

// A file system with two roots, "a" and "b", and a way to put files there
// that does not go through the interface under test.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual FileSystem& fs() = 0;
  virtual std::string root(const std::string& name) = 0;  // closed with "/"
  virtual void add_file(const std::string& relative, std::uint64_t size, std::int64_t seconds) = 0;
  virtual void add_dir(const std::string& relative) = 0;
};

class FakeBackend final : public Backend {
 public:
  FileSystem& fs() override { return fake_; }
  std::string root(const std::string& name) override { return "/" + name + "/"; }
  void add_file(const std::string& relative, std::uint64_t size, std::int64_t seconds) override {
    fake_.add_file("/" + relative, size, seconds);
  }
  void add_dir(const std::string& relative) override { fake_.add_dir("/" + relative, {0755, 0, 0}); }

 private:
  test::FakeFileSystem fake_;
};

class RealBackend final : public Backend {
 public:
  FileSystem& fs() override { return native_; }
  std::string root(const std::string& name) override { return tree_.path(name) + "/"; }
  void add_file(const std::string& relative, std::uint64_t size, std::int64_t seconds) override {
    tree_.write(relative, std::string(size, 'x'), seconds * 1'000'000'000);
  }
  void add_dir(const std::string& relative) override { tree_.mkdir(relative); }

 private:
  test::TempTree tree_;
  NativeFileSystem native_;
};

class Contract : public ::testing::TestWithParam<std::function<std::unique_ptr<Backend>()>> {
 protected:
  void SetUp() override {
    backend_ = GetParam()();
    backend_->add_file("a/one", 3, 1000);
    backend_->add_file("a/sub/two", 5, 2000);
    backend_->add_dir("b");
    a_ = backend_->root("a");
    b_ = backend_->root("b");
    ASSERT_EQ(fs().open_root(a_).status, ListStatus::kOk);
    ASSERT_EQ(fs().open_root(b_).status, ListStatus::kOk);
  }
  FileSystem& fs() { return backend_->fs(); }

  // "name kind size seconds" of each entry, sorted; or the status.
  std::vector<std::string> listed(const std::string& root, const std::string& dir) {
    Listing listing;
    fs().list_directory(root, dir, listing);
    if (listing.status == ListStatus::kMissing) return {"missing"};
    if (listing.status == ListStatus::kUnreadable) return {"unreadable"};
    std::vector<std::string> names;
    for (const DirEntry& e : listing.entries) {
      std::string line = e.name;
      line.append(" ").append(std::to_string(static_cast<int>(e.kind)));
      if (e.kind == EntryKind::kFile) {
        line.append(" ").append(std::to_string(e.size)).append(" ").append(std::to_string(e.last_write.seconds));
      }
      names.push_back(line);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  CopyOrder order(const std::string& from, const std::string& to, bool replace) {
    return {a_, from, EntryKind::kFile, b_, to, replace};
  }

  std::unique_ptr<Backend> backend_;
  std::string a_, b_;
};

TEST_P(Contract, RootsOpenAndListWhatTheyHold) {
  EXPECT_EQ(listed(a_, ""), (std::vector<std::string>{"one 0 3 1000", "sub 1"}));
  EXPECT_EQ(listed(a_, "sub/"), (std::vector<std::string>{"two 0 5 2000"}));
  EXPECT_EQ(listed(a_, "none/"), (std::vector<std::string>{"missing"}));
  EXPECT_EQ(fs().open_root(backend_->root("none")).status, ListStatus::kMissing);
  EXPECT_TRUE(fs().identity(a_).has_value());
  EXPECT_FALSE(fs().identity(backend_->root("none")).has_value());
  EXPECT_EQ(fs().probe_roots(a_, b_).alias, false);
  EXPECT_EQ(fs().probe_roots(a_, b_).unwritable, "");
  EXPECT_EQ(listed(b_, ""), std::vector<std::string>{}) << "the probe takes its marker back";
}

TEST_P(Contract, AStagedCopyIsInPlaceOnlyOnceCommitted) {
  std::unique_ptr<StagedCopy> staged;
  ASSERT_TRUE(fs().stage_copy(order("one", "one", false), staged).ok);
  for (const std::string& entry : listed(b_, "")) {
    EXPECT_TRUE(is_temporary_name(entry.substr(0, entry.find(' ')))) << entry;
  }
  ASSERT_TRUE(staged->commit().ok);
  EXPECT_EQ(listed(b_, ""), std::vector<std::string>{"one 0 3 1000"});
  // Dropped without a commit, a staged copy leaves nothing behind.
  ASSERT_TRUE(fs().stage_copy(order("sub/two", "two", true), staged).ok);
  staged.reset();
  EXPECT_EQ(listed(b_, ""), std::vector<std::string>{"one 0 3 1000"});
  // Without `replace` a taken name fails; a missing source or parent fails.
  EXPECT_FALSE(fs().copy_file(order("one", "one", false)).ok);
  EXPECT_FALSE(fs().copy_file(order("gone", "gone", false)).ok);
  EXPECT_FALSE(fs().copy_file(order("one", "no/one", false)).ok);
  EXPECT_TRUE(fs().copy_file(order("sub/two", "one", true)).ok);
  EXPECT_EQ(listed(b_, ""), std::vector<std::string>{"one 0 5 2000"});
}

TEST_P(Contract, DirectoriesAreMadeStampedAndRemovedOnlyWhenEmpty) {
  EXPECT_EQ(fs().make_directory(b_, "d/"), DirectoryMade::kCreated);
  EXPECT_EQ(fs().make_directory(b_, "d/"), DirectoryMade::kExisted);
  EXPECT_EQ(fs().make_directory(b_, "x/y/"), DirectoryMade::kFailed) << "one level at a time";
  ASSERT_TRUE(fs().copy_file(order("one", "d/one", false)).ok);
  EXPECT_FALSE(fs().remove_directory(b_, "d/"));
  ASSERT_TRUE(fs().remove_file(b_, "d/one").ok);
  EXPECT_FALSE(fs().remove_file(b_, "d/one").ok) << "a missing file";
  EXPECT_TRUE(fs().set_directory_time(b_, "d/", FileTime{5000, 0}));
  EXPECT_FALSE(fs().set_directory_time(b_, "none/", FileTime{5000, 0}));
  EXPECT_TRUE(fs().set_directory_mode(b_, "d/", 0700).ok);
  EXPECT_FALSE(fs().set_directory_mode(b_, "none/", 0700).ok);
  Listing listing;
  fs().list_directory(b_, "d/", listing);
  EXPECT_EQ(listing.last_write.seconds, 5000);
  EXPECT_TRUE(fs().remove_directory(b_, "d/"));
  EXPECT_FALSE(fs().remove_directory(b_, "")) << "the root stays";
  EXPECT_EQ(listed(b_, ""), std::vector<std::string>{});
}

TEST_P(Contract, AttributesAndDebris) {
  ASSERT_TRUE(fs().copy_file(order("one", "one", false)).ok);
  bool changed = false;
  Listing listing;
  fs().list_directory(b_, "", listing);
  Attributes wanted = listing.entries.at(0).attributes;
  EXPECT_TRUE(fs().set_file_attributes(b_, "one", wanted, changed).ok);
  EXPECT_FALSE(changed) << "the same attributes change nothing";
  wanted.mode = wanted.mode == 0640 ? 0600 : 0640;
  EXPECT_TRUE(fs().set_file_attributes(b_, "one", wanted, changed).ok);
  EXPECT_TRUE(changed);
  EXPECT_FALSE(fs().set_file_attributes(b_, "gone", wanted, changed).ok);
  const std::string debris = ".qmr-abcdefgh.tmp";
  ASSERT_TRUE(fs().copy_file(order("one", debris, false)).ok);
  EXPECT_TRUE(fs().remove_stale_temporary(b_, debris));
  EXPECT_EQ(listed(b_, "").size(), 1u);
}

TEST_P(Contract, AMadeRootIsOpenAndResolvesWhereItIs) {
  const std::string made = backend_->root("new/deep");
  ASSERT_TRUE(fs().make_root(made).ok);
  EXPECT_EQ(listed(made, ""), std::vector<std::string>{});
  EXPECT_EQ(fs().resolve_path(made + "x/../"), fs().resolve_path(made));
  EXPECT_FALSE(fs().lineage(made).ids.empty());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, Contract,
                         ::testing::Values([] { return std::unique_ptr<Backend>(new FakeBackend); },
                                           [] { return std::unique_ptr<Backend>(new RealBackend); }),
                         [](const auto& info) { return info.index == 0 ? std::string("Fake") : std::string("Real"); });

}  // namespace
}  // namespace qmr
