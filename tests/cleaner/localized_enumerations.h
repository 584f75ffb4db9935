// pnputil /enum-drivers output as Windows in several languages prints it, byte for byte in the
// encoding that reaches a pipe: the console's OEM code page (850 for German and French, 932 for
// Japanese) or UTF-8 when the console runs in code page 65001. Labels are padded to one column and
// lines end in CR LF, as pnputil writes them.
#pragma once

#include <string>
#include <vector>

struct EnumerationLanguage {
  const char *name;
  const char *title;  // the line pnputil prints before the blocks
  // Labels in the order of a block: published name, original name, provider, class name, class
  // GUID, driver version, signer; each with its colon.
  std::vector<std::string> labels;
  const char *className;  // the value of the class name, in the same encoding
};

inline const std::vector<EnumerationLanguage> &EnumerationLanguages() {
  static const std::vector<EnumerationLanguage> languages = {
      {"English", "Microsoft PnP Utility",
       {"Published Name:", "Original Name:", "Provider Name:", "Class Name:", "Class GUID:", "Driver Version:",
        "Signer Name:"},
       "Sound, video and game controllers"},
      // Code page 850: o-umlaut is 0x94.
      {"German, code page 850", "Microsoft-PnP-Dienstprogramm",
       {"Ver\x94" "ffentlichter Name:", "Originalname:", "Anbietername:", "Klassenname:", "Klassen-GUID:",
        "Treiberversion:", "Signaturgebername:"},
       "Audio-, Video- und Gamecontroller"},
      // UTF-8: o-umlaut is C3 B6.
      {"German, UTF-8", "Microsoft-PnP-Dienstprogramm",
       {"Ver\xC3\xB6" "ffentlichter Name:", "Originalname:", "Anbietername:", "Klassenname:", "Klassen-GUID:",
        "Treiberversion:", "Signaturgebername:"},
       "Audio-, Video- und Gamecontroller"},
      // Code page 850: e-acute is 0x82, o-circumflex 0x93; French sets a blank before the colon.
      {"French, code page 850", "Utilitaire PnP Microsoft",
       {"Nom publi\x82 :", "Nom d'origine :", "Nom du fournisseur :", "Nom de classe :", "GUID de classe :",
        "Version du pilote :", "Nom du signataire :"},
       "Contr\x93leurs audio, vid\x82o et jeu"},
      // Code page 932 (Shift-JIS): two bytes a character, several of whose second bytes are ASCII
      // letters (0x4A "J", 0x4F "O", 0x5B "[").
      {"Japanese, code page 932", "Microsoft PnP \x83\x86\x81\x5B\x83\x65\x83\x42\x83\x8A\x83\x65\x83\x42",
       {"\x8C\xF6\x8A\x4A\x96\xBC:",                                                  // published name
        "\x8C\xB3\x82\xCC\x96\xBC\x91\x4F:",                                          // original name
        "\x83\x76\x83\x8D\x83\x6F\x83\x43\x83\x5F\x81\x5B\x96\xBC:",                  // provider name
        "\x83\x4E\x83\x89\x83\x58\x96\xBC:",                                          // class name
        "\x83\x4E\x83\x89\x83\x58 GUID:",                                             // class GUID
        "\x83\x68\x83\x89\x83\x43\x83\x6F\x81\x5B \x83\x6F\x81\x5B\x83\x57\x83\x87\x83\x93:",  // driver version
        "\x8F\x90\x96\xBC\x8E\xD2\x96\xBC:"},                                         // signer name
       "\x83\x54\x83\x45\x83\x93\x83\x68\x81\x41\x83\x72\x83\x66\x83\x49\x81\x41\x82\xA8\x82\xE6\x82\xD1"
       "\x83\x51\x81\x5B\x83\x80 \x83\x52\x83\x93\x83\x67\x83\x8D\x81\x5B\x83\x89\x81\x5B"},
  };
  return languages;
}

// One block: each label padded with blanks to the value column, CR LF line ends, an empty line
// after it.
inline std::string EnumerationBlock(const EnumerationLanguage &language, const std::string &published,
                                    const std::string &original) {
  const std::string values[] = {published,   original,
                                "Vantrel",   language.className,
                                "{4d36e96c-e325-11ce-bfc1-08002be10318}", "01/15/2024 1.2.0.102",
                                "Vantrel Test Signing"};
  std::string block;
  for (size_t i = 0; i < language.labels.size(); ++i) {
    std::string label = language.labels[i];
    block += label + std::string(label.size() < 27 ? 27 - label.size() : 1, ' ') + values[i] + "\r\n";
  }
  return block + "\r\n";
}

// A store with another vendor's package, the device's package, a package of a neighbouring
// revision, and the device's package again under names in capital letters.
inline std::string LocalizedEnumeration(const EnumerationLanguage &language) {
  return std::string(language.title) + "\r\n\r\n" + EnumerationBlock(language, "oem3.inf", "other_vendor.inf") +
         EnumerationBlock(language, "oem12.inf  ", "vantrel_rev0102.inf") +
         EnumerationBlock(language, "oem13.inf", "vantrel_rev0103.inf") +
         EnumerationBlock(language, "OEM14.INF", "VANTREL_REV0102.INF");
}

// The packages that must be deleted from that store. On English output an INF name in capital
// letters is not the device's, as it never was; where the labels cannot be read, the value is
// compared as Windows compares file names.
inline std::vector<std::string> ExpectedDeletions(const EnumerationLanguage &language) {
  if (language.labels[0] == "Published Name:") return {"oem12.inf"};
  return {"oem12.inf", "OEM14.INF"};
}
