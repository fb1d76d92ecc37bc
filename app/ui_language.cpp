#include "app/ui_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <array>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "app/tray_options.h"
#include "platform/private_profile.h"

namespace {

constexpr const char* kLanguageKey = "LANGUAGE";

bool isSet(const char* value) {
    return value != nullptr && *value != '\0';
}

// "ja_JP.UTF-8", "ja", "ja@x": the language is the part before "_", "." and "@".
bool namesJapanese(std::string_view locale) {
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@:"));
    return language == "ja";
}

std::optional<UiLanguage> languageFromText(std::string_view text) {
    std::string lower;
    for (const char c : text) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "ja") {
        return UiLanguage::Japanese;
    }
    if (lower == "en") {
        return UiLanguage::English;
    }
    return std::nullopt;
}

}  // namespace

UiLanguage localeLanguage(const char* lcAll, const char* lcMessages, const char* lang,
                          const char* languageList) {
    const char* locale = isSet(lcAll) ? lcAll : isSet(lcMessages) ? lcMessages : lang;
    if (!isSet(locale)) {
        return UiLanguage::Japanese;
    }
    const std::string_view name(locale);
    const std::string_view base = name.substr(0, name.find_first_of(".@"));
    if (base == "C" || base == "POSIX") {
        return UiLanguage::Japanese;
    }
    const std::string_view asked = isSet(languageList) ? languageList : name;
    return namesJapanese(asked) ? UiLanguage::Japanese : UiLanguage::English;
}

std::optional<UiLanguage> readLanguageOption(const std::string& iniPath) {
    std::array<char, 16> value{};
    GetPrivateProfileStringA(kOptionsSection, kLanguageKey, "", value.data(),
                             static_cast<unsigned int>(value.size()), iniPath.c_str());
    return languageFromText(value.data());
}

bool writeLanguageOption(const std::string& iniPath, UiLanguage language) {
    return WritePrivateProfileStringA(kOptionsSection, kLanguageKey,
                                      language == UiLanguage::English ? "en" : "ja",
                                      iniPath.c_str()) != 0;
}

UiLanguage chooseUiLanguage(const std::string& iniPath) {
    if (const std::optional<UiLanguage> chosen = readLanguageOption(iniPath)) {
        return *chosen;
    }
    return localeLanguage(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"),
                          std::getenv("LANGUAGE"));
}

UiTranslations::UiTranslations(UiLanguage language) : language_(language) {
    auto translator = std::make_unique<QTranslator>();
    const bool found = language == UiLanguage::English
                           ? translator->load(QStringLiteral(":/i18n/tarnwick-pico_en.qm"))
                           : translator->load(QStringLiteral("qtbase_ja"),
                                              QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (found && QCoreApplication::installTranslator(translator.get())) {
        translator_ = std::move(translator);
    }
}

UiTranslations::~UiTranslations() {
    if (translator_ != nullptr) {
        QCoreApplication::removeTranslator(translator_.get());
    }
}
