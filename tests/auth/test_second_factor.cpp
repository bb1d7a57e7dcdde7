// The second-factor driver through the real libpam (auth_mode_2fa, the default), road by road:
// the push command user name, a code in the user name, the legacy prompt, and the method list
// with its automatic methods, menu and answers.
#include "login_fixture.h"

using namespace zvtest;

namespace {

using Strings = std::vector<std::string>;

const std::string kConfirmedPush = R"({"errorCode": 0, "authnUserReqId": "req-1"})";

class SecondFactor : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    configure({});
  }
  void methods(const std::string &list, std::vector<std::string> more = {}) {
    more.insert(more.begin(), "allowed_2fa_methods=\"" + list + "\"");
    configure(more);
  }
  std::vector<std::string> delivery_methods(const std::string &type) const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests(type)) out.push_back(r.deliveryMethod);
    return out;
  }
  std::vector<std::string> codes_sent() const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests("validate_oath_otp")) out.push_back(r.otp);
    return out;
  }
};

} // namespace

// --- Push command and a code in the user name ---------------------------------------------

TEST_F(SecondFactor, PushCommandUserNamePushesForTheNameAfterThePrefix) {
  configure({"allow_push_authentication", "max_push_wait_secs=3"});
  fake.queue_json("send_push_message", kConfirmedPush);
  EXPECT_EQ(login("zvmfa.sendpush:bob", {}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompts, 0);
  ASSERT_EQ(request_types(), (Strings{"send_push_message", "validate_oath_otp"}));
  const ZvRequest push = fake.requests()[0];
  EXPECT_EQ(push.username, "bob");
  EXPECT_EQ(push.authnAccount, "bob");
  EXPECT_EQ(push.deliveryMethod, "pushapp");
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_push_command: Processing special push command username"}));
  EXPECT_TRUE(logged(
      {LOG_DEBUG, "handle_push_command: Push authentication allowed, sending push message"}));
}

TEST_F(SecondFactor, PushCommandWithoutPushAllowedFailsSilently) {
  EXPECT_EQ(login("zvmfa.sendpush:bob", {"123456"}), PAM_AUTH_ERR);
  EXPECT_TRUE(conv.seen.empty());
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_push_command: Push authentication not allowed"}));
}

TEST_F(SecondFactor, CodeAfterTheLastColonIsValidatedWithoutAPrompt) {
  EXPECT_EQ(login("alice:123456", {}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompts, 0);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].username, "alice");
  EXPECT_EQ(fake.requests()[0].otp, "123456");
  EXPECT_TRUE(logged({LOG_DEBUG, "parse_legacy_otp: END - Legacy OTP validation successful"}));

  fake.clear();
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("dom:alice:654321", {}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.prompts, 0);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].username, "dom:alice");
  EXPECT_EQ(fake.requests()[0].otp, "654321");
}

TEST_F(SecondFactor, ColonWithoutACodeKeepsTheWholeName) {
  for (const std::string user : {"alice:12", "alice:abc123", "alice:12345678901", "alice:"}) {
    fake.clear();
    EXPECT_EQ(login(user, {"777888"}), PAM_SUCCESS) << user;
    EXPECT_EQ(conv.prompt_texts(), Strings{kOtpPrompt}) << user;
    ASSERT_EQ(fake.requests().size(), 1u) << user;
    EXPECT_EQ(fake.requests()[0].username, user);
    EXPECT_EQ(fake.requests()[0].otp, "777888");
  }
}

TEST_F(SecondFactor, NoUsernameCommandsRefusesBothFormsBeforeAnyPromptOrRequest) {
  struct Case {
    const char *user;
    const char *logged; // the refusal's record; the code after the colon never appears
  } cases[] = {
      {"zvmfa.sendpush:bob", "Refused the push command user name for bob (no_username_commands)"},
      {"bob:123456", "Refused a user name with a colon for bob (no_username_commands)"},
      {"dom:bob", "Refused a user name with a colon for dom (no_username_commands)"},
  };
  for (const char *mode : {"auth_mode_2fa", "auth_mode_1fa_2fa"}) {
    configure({mode, "allow_push_authentication", "max_push_wait_secs=3", "no_username_commands"});
    for (const Case &c : cases) {
      fake.clear();
      syslog_clear();
      EXPECT_EQ(login(c.user, {"s3cret", "123456"}), PAM_AUTH_ERR) << mode << " " << c.user;
      EXPECT_TRUE(conv.seen.empty()) << mode << " " << c.user;
      EXPECT_TRUE(fake.requests().empty()) << mode << " " << c.user;
      EXPECT_TRUE(logged({LOG_WARNING, std::string("pam_sm_authenticate: ") + c.logged}))
          << mode << " " << c.user;
      EXPECT_FALSE(syslog_contains("123456"));
    }
  }
  // Without the flag both forms work as they always did; with it, plain names still do.
  configure({"allow_push_authentication", "max_push_wait_secs=3"});
  fake.clear();
  fake.queue_json("send_push_message", kConfirmedPush);
  EXPECT_EQ(login("zvmfa.sendpush:bob", {}), PAM_SUCCESS);
  EXPECT_EQ(request_types(), (Strings{"send_push_message", "validate_oath_otp"}));
  fake.clear();
  EXPECT_EQ(login("bob:123456", {}), PAM_SUCCESS);
  EXPECT_EQ(codes_sent(), Strings{"123456"});
  configure({"no_username_commands"});
  fake.clear();
  EXPECT_EQ(login("bob", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(codes_sent(), Strings{"123456"});
}

// --- Legacy mode ------------------------------------------------------------------------------

TEST_F(SecondFactor, LegacyPromptValidatesTheAnswerAsItIs) {
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{hidden(kOtpPrompt)});
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_legacy_2fa: Using legacy 2FA logic"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_legacy_2fa: Using legacy OTP validation"}));

  // Neither trimmed nor tested for its form: the server judges.
  for (const std::string answer : {" 123456 ", "abc"}) {
    fake.clear();
    fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
    EXPECT_EQ(login("alice", {answer}), PAM_AUTH_ERR);
    EXPECT_EQ(codes_sent(), Strings{answer});
  }
}

TEST_F(SecondFactor, EchoVerificationCodeShowsTheAnswer) {
  configure({"echo_verification_code"});
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{shown(kOtpPrompt)});
}

TEST_F(SecondFactor, LegacyDeliveryComesBeforeThePrompt) {
  configure({"send_otp_method=sms"});
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info("Sent OTP sms message.\n"), hidden(kOtpPrompt)}));
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_oath_otp"), Strings{"0"});
}

TEST_F(SecondFactor, LegacyDeliveryFailureEndsTheFactorBeforeThePrompt) {
  configure({"send_otp_method=email"});
  fake.queue_json("send_oath_otp", R"({"errorCode": 4711, "errorMessage": "no phone"})");
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.prompts, 0);
  fake.queue("send_oath_otp", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(conv.prompts, 0);
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "send_oath_otp"}));
}

TEST_F(SecondFactor, LegacyEmptyAnswerPushesWhenPushIsAllowed) {
  configure({"allow_push_authentication", "prompt_push='Press return (100% safe)'"});
  fake.queue_json("send_push_message", kConfirmedPush);
  EXPECT_EQ(login("alice", {""}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, (std::vector<PamMessage>{info("Press return (100% safe)"),
                                                hidden(kOtpPrompt), info(kSendingPush)}));
  EXPECT_EQ(request_types(), (Strings{"send_push_message", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_push_message"), Strings{"pushapp"});
  EXPECT_EQ(codes_sent(), Strings{"req-1"});
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_legacy_2fa: Sending legacy push authentication"}));

  // A typed code is still a code.
  fake.clear();
  configure({"allow_push_authentication"});
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.infos(), Strings{kPushNotice});
  EXPECT_EQ(request_types(), Strings{"validate_oath_otp"});
}

TEST_F(SecondFactor, LegacyEmptyAnswerWithoutPushIsNotEntered) {
  EXPECT_EQ(login("alice", {""}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.errors(), Strings{kNotEntered});
  EXPECT_TRUE(fake.requests().empty());
}

// --- Modern mode: menu and answers -------------------------------------------------------------

TEST_F(SecondFactor, TokenAloneShowsNoMenuAndTakesOnlyCodes) {
  methods("otp_token");
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{hidden(kOtpPrompt)});
  EXPECT_EQ(codes_sent(), Strings{"123456"});
  EXPECT_TRUE(
      logged({LOG_DEBUG, "process_interactive_methods: User entered OTP token, validating"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "process_interactive_methods: OTP validation succeeded"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "second_factor: END - 2FA authentication successful"}));

  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTH_ERR);
  EXPECT_TRUE(logged({LOG_DEBUG, "process_interactive_methods: OTP validation failed"}));
}

TEST_F(SecondFactor, MenuListsMethodsInOneCallAndChoiceIgnoresCase) {
  methods(" otp_token , otp_sms ,push_app ");
  EXPECT_EQ(login("alice", {"OS", "123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{
                info("os - OTP via SMS"), info("pa - Push Application Confirmation"),
                hidden(kOtpOrMethodPrompt), info("Sent OTP sms message.\n"), hidden(kOtpPrompt)}));
  EXPECT_EQ(conv.call_sizes, (std::vector<int>{3, 1, 1}));
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_oath_otp"), Strings{"0"});
  EXPECT_EQ(codes_sent(), Strings{"123456"});
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_interactive_otp_method: User selected sms method"}));
}

TEST_F(SecondFactor, EachMenuValueSelectsItsMethod) {
  methods("otp_sms,otp_email,otp_voice,push_app,push_sms,push_voice",
          {"allow_push_authentication", "max_push_wait_secs=2"});
  struct Case {
    std::string answer, type, delivery;
  } cases[] = {
      {"os", "send_oath_otp", "0"},
      {"Oe", "send_oath_otp", "1"},
      {"OV", "send_oath_otp", "2"},
      {"pa", "send_push_message", "pushapp"},
      {"pS", "send_push_message", "pushsmsquestion"},
      {"PV", "send_push_message", "pushvoice"},
  };
  fake.set_default_json("send_push_message", kConfirmedPush);
  for (const Case &c : cases) {
    fake.clear();
    EXPECT_EQ(login("alice", {c.answer, "123456"}), PAM_SUCCESS) << c.answer;
    EXPECT_EQ(request_types(), (Strings{c.type, "validate_oath_otp"})) << c.answer;
    EXPECT_EQ(delivery_methods(c.type), Strings{c.delivery}) << c.answer;
  }
  EXPECT_TRUE(logged({LOG_DEBUG, "process_interactive_methods: User selected Push App method"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "process_interactive_methods: User selected Push SMS method"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "process_interactive_methods: User selected Push Voice method"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "handle_interactive_otp_method: User selected voice method"}));
}

TEST_F(SecondFactor, ConfiguredValuesAndTextsShapeTheMenu) {
  methods("otp_email,push_voice", {"otp_email_value=1", "otp_email_message='Mail me'",
                                   "push_voice_value=2", "push_voice_message='Call me'"});
  EXPECT_EQ(login("alice", {"1", "123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.infos(), (Strings{"1 - Mail me", "2 - Call me", "Sent OTP email message.\n"}));
  EXPECT_EQ(conv.prompt_texts(), (Strings{kMethodPrompt, kOtpPrompt}));
  EXPECT_EQ(delivery_methods("send_oath_otp"), Strings{"1"});
}

TEST_F(SecondFactor, MethodsAloneTakeACode) {
  methods("otp_sms,push_app");
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompt_texts(), Strings{kMethodPrompt});
  EXPECT_EQ(request_types(), Strings{"validate_oath_otp"});
}

TEST_F(SecondFactor, RefusedAnswersSendNothing) {
  const PamMessage os = info("os - OTP via SMS"), pa = info("pa - Push Application Confirmation");
  struct Case {
    std::string list, answer;
    PamMessages asked; // what came before the refusal
  } cases[] = {
      // A token alone takes only codes.
      {"otp_token", "os", {hidden(kOtpPrompt)}},
      // "ov" is a menu value, but otp_voice is not listed; push_app lists no code method.
      {"otp_sms,push_app", "ov", {os, pa, hidden(kMethodPrompt)}},
      {"push_app", "123456", {pa, hidden(kMethodPrompt)}},
      // Answers are not trimmed.
      {"otp_token,otp_sms", " 123456", {os, hidden(kOtpOrMethodPrompt)}},
      {"otp_token,otp_sms", "123456 ", {os, hidden(kOtpOrMethodPrompt)}},
      {"otp_token,otp_sms", "os ", {os, hidden(kOtpOrMethodPrompt)}},
      {"otp_token,otp_sms", "\tos", {os, hidden(kOtpOrMethodPrompt)}},
      // Tokens are case-sensitive and unknown ones are ignored; an empty list accepts nothing.
      {"OTP_SMS,Push_App,otp_token,sms", "os", {hidden(kOtpPrompt)}},
      {"", "123456", {hidden(kOtpPrompt)}},
  };
  for (const Case &c : cases) {
    methods(c.list);
    fake.clear();
    const std::string what = "'" + c.list + "' answered '" + c.answer + "'";
    EXPECT_EQ(login("alice", {c.answer}), PAM_AUTH_ERR) << what;
    PamMessages seen = c.asked;
    seen.push_back(error(kInvalidChoice));
    EXPECT_EQ(conv.seen, seen) << what;
    EXPECT_TRUE(fake.requests().empty()) << what;
  }
}

TEST_F(SecondFactor, AtMostEightMenuLines) {
  methods("otp_sms,otp_email,otp_voice,push_app,push_sms,push_voice,otp_sms,push_app,otp_email");
  EXPECT_EQ(login("alice", {"xx"}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.call_sizes, (std::vector<int>{9, 1}));
  EXPECT_EQ(conv.infos(),
            (Strings{"os - OTP via SMS", "oe - OTP via Email", "ov - OTP via Voice Call",
                     "pa - Push Application Confirmation", "ps - Push SMS Confirmation",
                     "pv - Push Voice Call Confirmation", "os - OTP via SMS",
                     "pa - Push Application Confirmation"}));
  EXPECT_EQ(conv.prompt_texts(), Strings{kMethodPrompt});
}

TEST_F(SecondFactor, EmptyAnswerInModernModeNeverPushes) {
  methods("otp_token,push_app", {"allow_push_authentication"});
  EXPECT_EQ(login("alice", {""}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.errors(), Strings{kNotEntered});
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_TRUE(logged({LOG_DEBUG, "second_factor: No OTP/method provided by user"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "second_factor: Verification code not entered - modern mode"}));
}

TEST_F(SecondFactor, EmptyCodeAfterADeliveryGoesToTheServer) {
  methods("otp_voice");
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("alice", {"ov", ""}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "validate_oath_otp"}));
  EXPECT_EQ(codes_sent(), Strings{""});
  EXPECT_TRUE(conv.errors().empty());
}

TEST_F(SecondFactor, FailedDeliveryAfterAChoiceEndsWithoutACodePrompt) {
  methods("otp_sms,otp_token");
  fake.queue("send_oath_otp", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"os", "123456"}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(conv.prompts, 1);
  EXPECT_EQ(request_types(), Strings{"send_oath_otp"});
}

// --- Modern mode: automatic methods ----------------------------------------------------------

TEST_F(SecondFactor, AutomaticDeliveryHidesItsLineAndTheCodeIsTyped) {
  methods("auto_otp_sms,otp_sms");
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{info("Sent OTP sms message.\n"), hidden(kOtpPrompt)}));
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "validate_oath_otp"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "process_auto_otp_method: Processing auto_otp_sms method"}));
}

TEST_F(SecondFactor, AutomaticDeliveryAloneAcceptsTheCodeItSent) {
  methods("auto_otp_email");
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompt_texts(), Strings{kOtpPrompt});
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_oath_otp"), Strings{"1"});
  EXPECT_EQ(codes_sent(), Strings{"123456"});
}

TEST_F(SecondFactor, AutomaticDeliveriesRunInListOrder) {
  methods("auto_otp_voice, otp_token, auto_otp_sms ,auto_otp_email");
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(delivery_methods("send_oath_otp"), (Strings{"2", "0", "1"}));
  EXPECT_EQ(conv.infos(), (Strings{"Sent OTP voice message.\n", "Sent OTP sms message.\n",
                                   "Sent OTP email message.\n"}));
}

TEST_F(SecondFactor, FailedAutomaticDeliveryStopsTheWalk) {
  methods("auto_otp_sms,auto_otp_email,otp_token");
  fake.queue("send_oath_otp", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(request_types(), Strings{"send_oath_otp"});
  EXPECT_EQ(conv.prompts, 0);

  fake.clear();
  fake.queue_json("send_oath_otp", R"({"errorCode": 0})");
  fake.queue_json("send_oath_otp", R"({"errorCode": 4711})");
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(delivery_methods("send_oath_otp"), (Strings{"0", "1"}));
  EXPECT_EQ(conv.prompts, 0);
}

TEST_F(SecondFactor, ConfirmedAutomaticPushEndsTheFactor) {
  methods("auto_push_sms,auto_otp_sms,otp_token", {"max_push_wait_secs=2"});
  fake.queue_json("send_push_message", kConfirmedPush);
  EXPECT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompts, 0); // no menu follows
  EXPECT_EQ(request_types(), (Strings{"send_push_message", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_push_message"), Strings{"pushsmsquestion"});
  EXPECT_EQ(codes_sent(), Strings{"req-1"});
  EXPECT_TRUE(logged({LOG_DEBUG, "process_auto_push_method: Processing auto_push_sms method"}));
}

TEST_F(SecondFactor, WalkRunsDeliveriesBeforeThePushAndNothingAfterIt) {
  methods("auto_otp_email,auto_push_voice,auto_otp_sms,auto_push_app", {"max_push_wait_secs=2"});
  fake.queue_json("send_push_message", kConfirmedPush);
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9030})"); // refused
  EXPECT_EQ(login("alice", {"123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.prompts, 0);
  EXPECT_EQ(request_types(), (Strings{"send_oath_otp", "send_push_message", "validate_oath_otp"}));
  EXPECT_EQ(delivery_methods("send_oath_otp"), Strings{"1"});
  EXPECT_EQ(delivery_methods("send_push_message"), Strings{"pushvoice"});
}

// --- Conversation faults ------------------------------------------------------------------------

TEST_F(SecondFactor, ConversationFaultsAtEveryPromptNeverSucceed) {
  struct Road {
    std::vector<std::string> options;
    std::vector<std::string> answers;
    int prompt_count;
  } roads[] = {
      {{}, {"123456"}, 1},                                              // legacy prompt
      {{"allow_push_authentication"}, {"123456"}, 1},                   // legacy with push
      {{"allowed_2fa_methods=otp_token,otp_sms"}, {"os", "123456"}, 2}, // menu, then code
  };
  for (const Road &road : roads) {
    configure(road.options);
    for (int at = 0; at < road.prompt_count; at++) {
      for (int fault = 0; fault < 3; fault++) {
        conv = Conversation{};
        conv.answers = road.answers;
        (fault == 0   ? conv.fail_at_prompt
         : fault == 1 ? conv.no_response_at_prompt
                      : conv.null_text_at_prompt) = at;
        fake.clear();
        EXPECT_EQ(pam_run(kService, "alice", conv), PAM_AUTH_ERR)
            << road.options.size() << " prompt " << at << " fault " << fault;
        EXPECT_TRUE(fake.requests("validate_oath_otp").empty());
        EXPECT_TRUE(fake.requests("send_push_message").empty());
      }
    }
  }
}
