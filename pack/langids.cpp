#include "pack/langids.h"

namespace {

struct KnownLanguage {
  uint16_t code;
  const char* tag;
};

// Primary language in the low 10 bits, sublanguage above (MAKELANGID).
constexpr KnownLanguage kKnown[] = {
    {1025, "ar-SA"}, {1026, "bg-BG"}, {1027, "ca-ES"}, {1028, "zh-TW"},        {1029, "cs-CZ"},  {1030, "da-DK"},
    {1031, "de-DE"}, {1032, "el-GR"}, {1033, "en-US"}, {1034, "es-ES_tradnl"}, {1035, "fi-FI"},  {1036, "fr-FR"},
    {1037, "he-IL"}, {1038, "hu-HU"}, {1040, "it-IT"}, {1041, "ja-JP"},        {1042, "ko-KR"},  {1043, "nl-NL"},
    {1044, "nb-NO"}, {1045, "pl-PL"}, {1046, "pt-BR"}, {1048, "ro-RO"},        {1049, "ru-RU"},  {1050, "hr-HR"},
    {1051, "sk-SK"}, {1053, "sv-SE"}, {1054, "th-TH"}, {1055, "tr-TR"},        {1057, "id-ID"},  {1058, "uk-UA"},
    {1060, "sl-SI"}, {1061, "et-EE"}, {1062, "lv-LV"}, {1063, "lt-LT"},        {1066, "vi-VN"},  {2052, "zh-CN"},
    {2055, "de-CH"}, {2057, "en-GB"}, {2058, "es-MX"}, {2060, "fr-BE"},        {2067, "nl-BE"},  {2070, "pt-PT"},
    {3076, "zh-HK"}, {3079, "de-AT"}, {3081, "en-AU"}, {3082, "es-ES"},        {3084, "fr-CA"},  {4100, "zh-SG"},
    {4105, "en-CA"}, {4108, "fr-CH"}, {5124, "zh-MO"}, {6153, "en-IE"},        {11274, "es-AR"},
};

}  // namespace

const char* KnownLanguageTag(uint16_t code) {
  for (const KnownLanguage& k : kKnown)
    if (k.code == code) return k.tag;
  return nullptr;
}
