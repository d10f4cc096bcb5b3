// Attestation orchestration and token refresh over a scripted handshake: one
// attestation at a time, the 140 s wait on the manual clock, the one-token cache
// limit, refresh delays, failed and orphaned refreshes, the TPM state pool.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/hostinfo.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/tpm2/tpm2.h"

namespace {

using Zarna::ZarnaState;
using namespace std::chrono_literals;

constexpr int64_t kNow = 1800000000; // wall clock of these tests at start, seconds

// Wall-clock time that moves with the scheduler's manual clock.
class FollowingWallClock : public HostinfoClock {
public:
   explicit FollowingWallClock(std::shared_ptr<Tirel::System::ManualClock> clock)
       : mClock(std::move(clock)), mStartUs(mClock->NowUs())
   {
   }
   uint64_t SystemTimerNS() override { return mClock->NowUs() * 1000; }
   int64_t TimeOfDayUS() override
   {
      return kNow * 1000000 + static_cast<int64_t>(mClock->NowUs() - mStartUs);
   }

private:
   std::shared_ptr<Tirel::System::ManualClock> mClock;
   uint64_t mStartUs;
};

// A signed-looking token with these claims (the agent never checks the signature).
std::string Token(const std::string &claims)
{
   return Hostlib::Base64UrlEncode(R"({"alg":"ES256","typ":"JWT"})") + "." +
          Hostlib::Base64UrlEncode(claims) + ".c2lnbmF0dXJl";
}
std::string TokenExpiringIn(int64_t seconds)
{
   return Token(R"({"sub":"ek","exp":)" +
                std::to_string(Hostinfo_GetTimeOfDay() / 1000000 + seconds) + "}");
}

class NullState : public AttestLib::Tpm2::AttestState {
public:
   bool ProcessContext(const std::vector<uint8_t> &, std::vector<uint8_t> &) override
   {
      return false;
   }
};

// The handshake the state runs: hands out the next scripted token (or error),
// optionally held until released so that tests can line up waiters.
struct ScriptedHandshake {
   std::mutex lock;
   std::condition_variable changed;
   std::string token; // empty: a fresh token expiring in an hour
   bool fail = false;
   bool hold = false;
   int calls = 0;
   int running = 0;
   std::function<void()> during;
   std::vector<std::shared_ptr<AttestLib::Tpm2::AttestState>> statesSeen;

   Zarna::AttestHandshake Make()
   {
      return [this](const std::string &, uint32_t, const std::vector<std::string> &,
                    const std::shared_ptr<AttestLib::Tpm2::AttestState> &state, std::string &out,
                    Ruvo::Data::ErrorValuePtr &error) {
         std::unique_lock<std::mutex> guard(lock);
         calls++;
         running++;
         statesSeen.push_back(state);
         changed.notify_all();
         changed.wait(guard, [&] { return !hold; });
         running--;
         if (during) {
            auto hook = during;
            guard.unlock();
            hook();
            guard.lock();
         }
         if (fail) {
            error = Zarna::MakeError(Zarna::ErrorClass::Error, Zarna::ErrorIds::kAttestNoTpm2);
         } else {
            out = token.empty() ? TokenExpiringIn(3600) : token;
         }
      };
   }
   void WaitRunning()
   {
      std::unique_lock<std::mutex> guard(lock);
      ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return running > 0; }));
   }
   void Release()
   {
      std::lock_guard<std::mutex> guard(lock);
      hold = false;
      changed.notify_all();
   }
   int Calls()
   {
      std::lock_guard<std::mutex> guard(lock);
      return calls;
   }
};

class ZarnaStateAttestTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      Hostinfo_SetClock(&wall);
      // No preemptive attestation interferes unless a test asks for one.
      harness.config->GetSettings().SetInt("attestationDelaySec", 1000000);
      auto options = harness.Options();
      options.handshake = script.Make();
      options.attestStateFactory = [this] {
         factoryCalls++;
         return std::make_shared<NullState>();
      };
      state = ZarnaState::Create(options);
      state->Init();
   }
   void TearDown() override
   {
      script.Release();
      harness.pool->WaitForIdle(10s);
      Hostinfo_SetClock(nullptr);
   }

   std::string AddService(const std::string &group, int port)
   {
      return ZarnaTesting::InsertAttestd(*state, "attestd.test", group, port);
   }
   std::string TokenOf(const std::string &group) { return ZarnaTesting::TokenOf(*state, group); }
   static std::string IdOf(const Ruvo::Data::ErrorValuePtr &error)
   {
      return error && !error->messages().empty() ? error->messages()[0].GetId() : "";
   }

   ZarnaTesting::StateHarness harness;
   FollowingWallClock wall{harness.clock};
   ScriptedHandshake script;
   int factoryCalls = 0;
   std::shared_ptr<ZarnaState> state;
};

TEST_F(ZarnaStateAttestTest, ConcurrentWaitersShareOneHandshakeAndOneTpmState)
{
   AddService("g1", 1001);
   script.hold = true;
   std::vector<std::future<bool>> waiters;
   for (int i = 0; i < 3; ++i) {
      waiters.push_back(std::async(std::launch::async, [this] {
         Ruvo::Data::ErrorValuePtr error;
         return state->WaitOnAttestation("g1", true, error);
      }));
   }
   script.WaitRunning();
   std::this_thread::sleep_for(50ms); // the others are queued on the condition variable
   script.Release();
   for (auto &w : waiters) {
      EXPECT_TRUE(w.get());
   }
   EXPECT_EQ(script.Calls(), 1);
   EXPECT_EQ(state->GetNumTokens(), 1);

   // The next attestation (the group's refresh) reuses the pooled TPM state.
   Ruvo::Data::ErrorValuePtr error;
   EXPECT_TRUE(state->WaitOnAttestation("g1", false, error));
   EXPECT_EQ(factoryCalls, 1);
   ASSERT_EQ(script.statesSeen.size(), 2u);
   EXPECT_EQ(script.statesSeen[0], script.statesSeen[1]);
   EXPECT_EQ(state->GetAttestStatePoolSize(), 1u);
   state->Shutdown();
   EXPECT_EQ(state->GetAttestStatePoolSize(), 0u);
}

TEST_F(ZarnaStateAttestTest, WaiterGivesUpAfter140SecondsOnTheManualClock)
{
   HostlibTesting::LogCapture log;
   AddService("g1", 1001);
   script.hold = true;
   auto first = std::async(std::launch::async, [this] {
      Ruvo::Data::ErrorValuePtr error;
      return state->WaitOnAttestation("g1", true, error);
   });
   script.WaitRunning();
   std::promise<Ruvo::Data::ErrorValuePtr> secondError;
   auto second = std::async(std::launch::async, [&] {
      Ruvo::Data::ErrorValuePtr error;
      const bool ok = state->WaitOnAttestation("g1", true, error);
      secondError.set_value(error);
      return ok;
   });
   std::this_thread::sleep_for(50ms);
   harness.clock->Advance(139 * 1000000ull);
   EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
   harness.clock->Advance(1 * 1000000ull);
   ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
   EXPECT_FALSE(second.get());
   EXPECT_EQ(IdOf(secondError.get_future().get()), Zarna::ErrorIds::kAttestTimeout);
   EXPECT_TRUE(log.Has(110, "Thread timed out waiting for attestation to complete"));
   script.Release();
   EXPECT_TRUE(first.get());
   EXPECT_EQ(script.Calls(), 1);
}

TEST_F(ZarnaStateAttestTest, OneTokenCacheLimitAndRefreshOfTheHolder)
{
   AddService("g1", 1001);
   AddService("g2", 1002);
   Ruvo::Data::ErrorValuePtr error;
   ASSERT_TRUE(state->WaitOnAttestation("g1", false, error));
   EXPECT_EQ(script.Calls(), 1);

   // Another group is refused while one holds the token: no error, no handshake.
   EXPECT_FALSE(state->WaitOnAttestation("g2", false, error));
   EXPECT_EQ(error, nullptr);
   EXPECT_EQ(script.Calls(), 1);
   // Any token will do: the held one.
   EXPECT_TRUE(state->WaitOnAttestation("g2", true, error));
   EXPECT_EQ(script.Calls(), 1);
   // The holder is attested again: its refresh replaces the token.
   script.token = TokenExpiringIn(7200);
   EXPECT_TRUE(state->WaitOnAttestation("g1", false, error));
   EXPECT_EQ(script.Calls(), 2);
   EXPECT_EQ(TokenOf("g1"), script.token);
   EXPECT_EQ(state->GetNumTokens(), 1);
}

TEST_F(ZarnaStateAttestTest, RefreshRunsThirtyMinutesBeforeExpiryOrAtExpiry)
{
   for (auto [lifetime, delay] :
        std::vector<std::pair<int64_t, uint64_t>>{{3600, 1800}, {1801, 1}, {1800, 1800}}) {
      // A state of its own per case: a refresh chain of the previous case must not count.
      auto options = harness.Options();
      options.handshake = script.Make();
      auto own = ZarnaState::Create(options);
      own->Init();
      // The store is shared with the earlier cases: a service of its own.
      const std::string group = "g" + std::to_string(lifetime);
      ZarnaTesting::InsertAttestd(*own, "attestd.test", group, lifetime);
      script.token = TokenExpiringIn(lifetime);
      Ruvo::Data::ErrorValuePtr error;
      ASSERT_TRUE(own->WaitOnAttestation(group, false, error));
      const int before = script.Calls();
      script.token.clear();
      if (delay > 1) {
         harness.Advance(delay - 1);
         EXPECT_EQ(script.Calls(), before) << lifetime;
      }
      harness.Advance(1);
      EXPECT_EQ(script.Calls(), before + 1) << lifetime;
      own->Shutdown();
      own.reset();
      harness.pool->WaitForIdle(10s);
   }
}

TEST_F(ZarnaStateAttestTest, UnusableTokensAreRefusedAndTheOldTokenStays)
{
   HostlibTesting::LogCapture log;
   AddService("g1", 1001);
   Ruvo::Data::ErrorValuePtr error;
   ASSERT_TRUE(state->WaitOnAttestation("g1", false, error));
   const std::string held = TokenOf("g1");
   struct Case {
      std::string token;
      std::string line;
   };
   for (const Case &c : std::vector<Case>{
            {Token(R"({"sub":"ek"})"), "No expiry time grant in token from group g1: 0"},
            {Token(R"({"exp":0})"), "No expiry time grant in token from group g1: 0"},
            {TokenExpiringIn(0), "services from group g1 is not time-synced with client"},
            {TokenExpiringIn(-5), "services from group g1 is not time-synced with client"},
            {TokenExpiringIn(9300000000000LL), "Invalid token expiry: "},
            {"not-a-token", "Cannot decode expiry from token from group g1: "}}) {
      script.token = c.token;
      error.reset();
      EXPECT_FALSE(state->WaitOnAttestation("g1", false, error)) << c.line;
      ASSERT_NE(error, nullptr) << c.line;
      EXPECT_EQ(error->GetName(), "com.talvor.ruvo.std.errors.error");
      EXPECT_TRUE(error->messages().empty());
      EXPECT_EQ(TokenOf("g1"), held) << c.line;
      bool logged = false;
      for (const auto &line : log.Lines()) {
         logged = logged || (line.level == 110 && line.text.rfind(c.line, 0) == 0);
      }
      EXPECT_TRUE(logged) << c.line;
   }
   EXPECT_TRUE(log.Has(110, "Token from group g1 is invalid"));
}

TEST_F(ZarnaStateAttestTest, FailedRefreshLeavesTheGroupWithoutToken)
{
   AddService("g1", 1001);
   Ruvo::Data::ErrorValuePtr error;
   ASSERT_TRUE(state->WaitOnAttestation("g1", false, error));
   script.fail = true;
   harness.Advance(1800);
   EXPECT_EQ(script.Calls(), 2);
   EXPECT_EQ(TokenOf("g1"), "");
   EXPECT_EQ(state->GetNumTokens(), 0);
   // Nothing is scheduled any more for the group.
   harness.Advance(100000);
   EXPECT_EQ(script.Calls(), 2);
}

TEST_F(ZarnaStateAttestTest, TokenForAGroupDeletedMidHandshakeCancelsItsRefresh)
{
   HostlibTesting::LogCapture log;
   const std::string id = AddService("g1", 1001);
   script.during = [&] { EXPECT_EQ(state->DeleteAttestdInfo(id), Zarna::ServiceResult::Ok); };
   Ruvo::Data::ErrorValuePtr error;
   EXPECT_FALSE(state->WaitOnAttestation("g1", false, error));
   EXPECT_NE(error, nullptr);
   EXPECT_TRUE(log.Has(110, "Couldn't find group g1 in the cache"));
   script.during = nullptr;
   harness.Advance(3600);
   EXPECT_EQ(script.Calls(), 1);
   EXPECT_EQ(state->GetNumTokens(), 0);
}

TEST_F(ZarnaStateAttestTest, StartupFillAndPreemptiveAttestation)
{
   Ruvo::Data::ErrorValuePtr error;
   EXPECT_FALSE(state->PopulateTokens(error));
   EXPECT_EQ(IdOf(error), Zarna::ErrorIds::kAttestServicesNotConfigured);
   EXPECT_EQ(script.Calls(), 0);

   AddService("g1", 1001);
   error.reset();
   EXPECT_TRUE(state->PopulateTokens(error));
   EXPECT_EQ(state->GetNumTokens(), 1);

   // A preemptive attestation with a token held attests nothing and frees its slot.
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   state->AttemptAttestation();
   EXPECT_FALSE(state->HasPendingAttemptAttestation());
   EXPECT_EQ(script.Calls(), 1);
}

TEST_F(ZarnaStateAttestTest, AHandshakeThatThrowsReleasesTheNextCaller)
{
   AddService("g1", 1001);
   script.during = [] { throw std::runtime_error("handshake blew up"); };
   Ruvo::Data::ErrorValuePtr error;
   EXPECT_THROW(state->WaitOnAttestation("g1", false, error), std::runtime_error);
   script.during = nullptr;
   EXPECT_TRUE(state->WaitOnAttestation("g1", false, error));
   EXPECT_EQ(state->GetAttestStatePoolSize(), 1u);
}

} // namespace
