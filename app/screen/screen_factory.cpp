#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "ident/searching_screen.h"
#include "screens/help_screen.h"
#include "screens/listening_screen.h"
#include "screens/main_menu_screen.h"
#include "screens/result_screen.h"
#include "screens/sms_screen.h"
#include "screens/splash_screen.h"
#include "screens/try_again_screen.h"
#include "tags/history_screen.h"

namespace {

template <typename ScreenClass>
Screen* Make() {
  return new ScreenClass(g_hInst, g_hWnd);
}

}  // namespace

ScreenFactory ScreenFactoryFor(int index) {
  switch (index) {
    case SCREEN_SPLASH:
      return Make<SplashScreen>;
    case SCREEN_MAIN_MENU:
      return Make<MainMenuScreen>;
    case SCREEN_LISTENING:
      return Make<ListeningScreen>;
    case SCREEN_SEARCHING:
      return Make<SearchingScreen>;
    case SCREEN_RESULT:
      return Make<ResultScreen>;
    case SCREEN_SMS:
      return Make<SmsScreen>;
    case SCREEN_HISTORY:
      return Make<HistoryScreen>;
    case SCREEN_HELP:
      return Make<HelpScreen>;
    case SCREEN_SEND_FAILED:
    case SCREEN_RECORD_FAILED:
      return Make<TryAgainScreen>;
    default:
      return nullptr;
  }
}
