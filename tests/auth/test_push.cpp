// Push authentication through the real libpam: the push request, the polls once a second, the
// waiting notices, refusal, time-out and the failures that end it early. Each pending poll
// costs one real second, so max_push_wait_secs stays small.
#include <chrono>
#include <thread>

#include "audit_log.h"
#include "login_fixture.h"

using namespace zvtest;

namespace {

using Strings = std::vector<std::string>;
const std::string kPending = R"({"errorCode": 9003})";

class Push : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    wait(3);
  }
  // An automatic push before any prompt; a confirmed one ends the factor.
  void wait(int seconds, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"allowed_2fa_methods=auto_push_app",
                               "max_push_wait_secs=" + std::to_string(seconds)});
    configure(more);
  }
  void push_accepted(const std::string &id = "req-42") {
    fake.queue_json("send_push_message", R"({"errorCode": 0, "authnUserReqId": ")" + id + R"("})");
  }
  size_t polls() const { return fake.requests("validate_oath_otp").size(); }
};

} // namespace

TEST_F(Push, ConfirmedOnTheFirstPoll) {
  wait(3, {"push_app_name=SSH", "push_reason=Sudo"});
  push_accepted();
  EXPECT_EQ(login("alice", {}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{info(kSendingPush)});
  ASSERT_EQ(request_types(), (Strings{"send_push_message", "validate_oath_otp"}));

  const ZvRequest push = fake.requests()[0];
  EXPECT_EQ(push.keys, (Strings{"type", "deliveryMethod", "username", "authnAccount", "appName",
                                "authnReason"}));
  EXPECT_EQ(push.deliveryMethod, "pushapp");
  EXPECT_EQ(push.username, "alice");
  EXPECT_EQ(push.authnAccount, "alice");
  EXPECT_EQ(push.appName, "SSH");
  EXPECT_EQ(push.authnReason, "Sudo");

  // The poll is an OTP validation with the request's id in place of a code.
  const ZvRequest poll = fake.requests()[1];
  EXPECT_EQ(poll.username, "alice");
  EXPECT_EQ(poll.otp, "req-42");
  EXPECT_FALSE(syslog_contains("timed out"));
}

TEST_F(Push, DefaultAppNameAndReason) {
  push_accepted();
  EXPECT_EQ(login("alice", {}), PAM_SUCCESS);
  ASSERT_FALSE(fake.requests().empty());
  const ZvRequest push = fake.requests()[0];
  EXPECT_EQ(push.appName, "Linux");
  EXPECT_EQ(push.authnReason, "Login");
}

TEST_F(Push, RefusalOnALaterPollEndsTheWaitWithoutTimeOut) {
  wait(30);
  push_accepted();
  for (int i = 0; i < 11; i++) fake.queue_json("validate_oath_otp", kPending);
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9030})");
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(polls(), 12u);
  // Notices follow the 1st and the 11th pending poll.
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info(kSendingPush), error(kWaiting), error(kWaiting)}));
  EXPECT_FALSE(syslog_contains("timed out"));
}

TEST_F(Push, RefusalCode9111EndsTheWaitToo) {
  push_accepted();
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9116})"); // not an answer
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9111})");
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(polls(), 2u);
  EXPECT_EQ(conv.errors(), Strings{kWaiting});
}

TEST_F(Push, ZeroSecondsSendsThePushAndTimesOutWithoutAPoll) {
  wait(0);
  push_accepted();
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(), Strings{"send_push_message"});
  EXPECT_EQ(conv.seen, (std::vector<PamMessage>{info(kSendingPush), error(kTimedOut)}));
  EXPECT_TRUE(
      logged({LOG_ERR, "send_push_message: Push authentication timed out after 0 seconds"}));
}

TEST_F(Push, OneSecondMeansOnePendingPollThenTimeOut) {
  wait(1);
  push_accepted();
  fake.set_default_json("validate_oath_otp", kPending);
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(polls(), 1u);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info(kSendingPush), error(kWaiting), error(kTimedOut)}));
  EXPECT_TRUE(
      logged({LOG_ERR, "send_push_message: Push authentication timed out after 1 seconds"}));
}

TEST_F(Push, ServerGoingAwayDuringTheWaitDoesNotEndItEarly) {
  push_accepted();
  fake.queue_json("validate_oath_otp", kPending);
  // Stop the server once the first poll was answered: later polls find nobody listening.
  std::thread stopper([this] {
    for (int i = 0; i < 500 && polls() == 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fake.server().stop();
  });
  const int rc = login("alice", {});
  stopper.join();
  EXPECT_EQ(rc, PAM_AUTH_ERR);
  EXPECT_EQ(polls(), 1u);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info(kSendingPush), error(kWaiting), error(kUnreachable),
                                     error(kUnreachable), error(kTimedOut)}));
}

TEST_F(Push, BrokenConnectionsArePendingPollsAndTheAnswerStillCounts) {
  push_accepted();
  fake.queue("validate_oath_otp", Reply{.close_without_reply = true});
  fake.queue("validate_oath_otp", Reply{.reset = true});
  EXPECT_EQ(login("alice", {}), PAM_SUCCESS); // the third poll confirms
  EXPECT_EQ(polls(), 3u);
  EXPECT_EQ(conv.seen, (std::vector<PamMessage>{info(kSendingPush), error(kUnreachable),
                                                error(kWaiting), error(kUnreachable)}));
}

TEST_F(Push, ReplyWithoutRequestIdEndsAtOnce) {
  wait(5);
  for (const std::string reply :
       {R"({"errorCode": 0})", R"({"errorCode": 0, "authnUserReqId": ""})",
        R"({"errorCode": 0, "authnUserReqId": 17})"}) {
    fake.clear();
    syslog_clear();
    fake.queue_json("send_push_message", reply);
    EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR) << reply;
    EXPECT_EQ(polls(), 0u) << reply; // no poll could ever be answered
    EXPECT_EQ(conv.seen,
              (std::vector<PamMessage>{info(kSendingPush),
                                       error("Invalid server response. Please contact support.")}))
        << reply;
    EXPECT_TRUE(
        logged({LOG_ERR, "send_push_message: error MISSING authnUserReqId in json response!"}));
  }
}

TEST_F(Push, FailuresOfThePushRequestEndBeforeAnyPoll) {
  fake.queue_json("send_push_message", R"({"errorCode": 4711, "errorMessage": "no device"})");
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.seen, (std::vector<PamMessage>{info(kSendingPush),
                                                error("Server error. Please contact support.")}));
  EXPECT_TRUE(logged({LOG_ERR, "send_push_message: error_message: no device (4711)"}));

  fake.queue("send_push_message", http_reply(200, "not\r\njson"));
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{info(kSendingPush)});
  EXPECT_TRUE(logged({LOG_ERR, "send_push_message: error parsing json response:\nnot  json"}));

  fake.queue("send_push_message", http_reply(200, ""));
  EXPECT_EQ(login("alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info(kSendingPush),
                                     error("Invalid server response. Please contact support.")}));
  EXPECT_TRUE(logged({LOG_ERR, "send_push_message: error MISSING json response!"}));

  fake.queue("send_push_message", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{info(kSendingPush)});

  EXPECT_EQ(polls(), 0u);
  EXPECT_EQ(fake.requests("send_push_message").size(), 4u);
}

// push_wait_prompt: one prompt after the push instead of the waiting notices. Enter waits for
// the push; a typed code is checked as a code instead; anything else is refused unsent.
TEST_F(Push, WaitPromptTakesEnterOrACode) {
  const std::string prompt = "Approve the request on your phone, then press Enter:";
  struct Case {
    const char *answer;
    int rc;
    std::vector<std::string> requests;
    std::vector<PamMessage> seen;
  } cases[] = {
      // Enter, then one pending poll: no waiting notice.
      {"",
       PAM_SUCCESS,
       {"send_push_message", "validate_oath_otp", "validate_oath_otp"},
       {info(kSendingPush), hidden(prompt)}},
      {"123456",
       PAM_SUCCESS,
       {"send_push_message", "validate_oath_otp"},
       {info(kSendingPush), hidden(prompt)}},
      {"s3cret",
       PAM_AUTH_ERR,
       {"send_push_message"},
       {info(kSendingPush), hidden(prompt), error(kInvalidChoice)}},
      {"", PAM_AUTH_ERR, {"send_push_message"}, {info(kSendingPush), hidden(prompt)}}, // none
  };
  wait(3, {"push_wait_prompt", "push_limit=10"}); // more pushes than the default allows
  for (size_t i = 0; i < std::size(cases); i++) {
    const Case &c = cases[i];
    SCOPED_TRACE(i);
    fake.clear();
    push_accepted();
    if (i == 0) fake.queue_json("validate_oath_otp", kPending);
    conv = Conversation{};
    if (i + 1 < std::size(cases))
      conv.answers = {c.answer};
    else
      conv.no_response_at_prompt = 0;
    EXPECT_EQ(pam_run(service, "alice", conv), c.rc);
    EXPECT_EQ(request_types(), c.requests);
    EXPECT_EQ(conv.seen, c.seen);
  }
  // The typed code went to the server as a code, not the push's id.
  fake.clear();
  push_accepted();
  EXPECT_EQ(login("alice", {"654321"}), PAM_SUCCESS);
  ASSERT_EQ(fake.requests("validate_oath_otp").size(), 1u);
  EXPECT_EQ(fake.requests("validate_oath_otp")[0].otp, "654321");
  // An answer longer than any conversation may give is refused before any request.
  fake.clear();
  push_accepted();
  EXPECT_EQ(login("alice", {std::string(600, '1')}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(), Strings{"send_push_message"});
  EXPECT_EQ(conv.errors(), Strings{kInvalidChoice});
}

TEST_F(Push, WaitPromptStillTimesOut) {
  wait(1, {"push_wait_prompt"});
  push_accepted();
  fake.set_default_json("validate_oath_otp", kPending);
  EXPECT_EQ(login("alice", {""}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.errors(), Strings{kTimedOut});
}

// The owner said no: no push goes out for that user until the window has passed, whatever the
// road; the user is told to use a code, and the audit record shows the push road failing.
TEST_F(Push, ARefusedPushPausesPushesForTheWindow) {
  configure({"allow_push_authentication", "push_limit_window_secs=2", "max_push_wait_secs=3"});
  push_accepted();
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9030})");
  EXPECT_EQ(login("zvmfa.sendpush:alice", {}), PAM_AUTH_ERR);
  EXPECT_EQ(fake.requests("send_push_message").size(), 1u);
  EXPECT_TRUE(logged({LOG_WARNING, "send_push_message: Push refused by alice: pushes paused for 2 "
                                   "seconds"}));

  fake.clear();
  syslog_clear();
  EXPECT_EQ(login("alice", {""}), PAM_AUTH_ERR); // the legacy empty answer
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info(kPushNotice), hidden(kOtpPrompt),
                                     error("Push requests are paused for this account. Please "
                                           "enter a code.")}));
  EXPECT_EQ(count_logged(LOG_WARNING, "send_push_message: Push request for alice held back: "
                                      "pushes are paused for "),
            1u);
  const auto audits = audit_records();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0]["road"], "push");
  EXPECT_EQ(audits[0]["result"], "failure");
  // Codes keep working.
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);

  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  fake.clear();
  push_accepted();
  EXPECT_EQ(login("alice", {""}), PAM_SUCCESS);
  EXPECT_EQ(fake.requests("send_push_message").size(), 1u);
}
