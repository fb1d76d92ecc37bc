#pragma once

#include <memory>
#include <optional>
#include <string>

class QTranslator;

// The language of the program's texts. Its own texts are Japanese; English comes from the
// translation built into the program (i18n/tarnwick-pico_en.ts).
enum class UiLanguage { Japanese, English };

// The language the locale asks for, from its variables as given (null or empty: not set):
// the first of LC_ALL, LC_MESSAGES and LANG that is set names the locale. Without one, and
// for C or POSIX, Japanese, which is what the program has always spoken; otherwise the
// first entry of the LANGUAGE list when there is one, else the locale's own language:
// Japanese for "ja", English for every other.
UiLanguage localeLanguage(const char* lcAll, const char* lcMessages, const char* lang,
                          const char* languageList);

// LANGUAGE= in [OPTIONS]: "ja" or "en" in any case; nothing when missing or anything else.
std::optional<UiLanguage> readLanguageOption(const std::string& iniPath);
// Writes LANGUAGE as "ja" or "en"; false when the file could not be written.
bool writeLanguageOption(const std::string& iniPath, UiLanguage language);

// The option in the settings file when set, else the language of this process's locale.
UiLanguage chooseUiLanguage(const std::string& iniPath);

// Puts the language's translations in place for the whole application: for English the
// program's English texts, for Japanese Qt's own Japanese texts (buttons of boxes, edit
// menus) where Debian's qt6-translations-l10n installed them.
//
// Ownership: owns its translators and takes them out again when it goes. Thread: UI
// thread, after the QCoreApplication and destroyed before it.
class UiTranslations {
  public:
    explicit UiTranslations(UiLanguage language);
    ~UiTranslations();
    UiTranslations(const UiTranslations&) = delete;
    UiTranslations& operator=(const UiTranslations&) = delete;

    UiLanguage language() const { return language_; }
    // False when the translation that the language needs could not be loaded.
    bool loaded() const { return translator_ != nullptr; }

  private:
    UiLanguage language_;
    std::unique_ptr<QTranslator> translator_;
};
