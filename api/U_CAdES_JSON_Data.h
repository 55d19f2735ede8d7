// The structured values of the JSON signing API that requests and responses share: the
// provider description, the key-container description chosen by its type name, the signed
// data items, the certificate description filled from a certificate dump, the crypto-tool
// classes derived from policy identifiers, and an outside signing client's tree of persons
// and key containers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "KvJSONPersistent.h"
#include "U_CryptLib_Parsers.h"

namespace dravik {

// Trims the text, removes a leading "-----BEGIN CERTIFICATE-----" and a trailing
// "-----END CERTIFICATE-----" (letter case ignored) and every CR LF pair.
std::string StripPemArmor(std::string_view text);

class TsftProviderInfo : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftProviderInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string providerInterface;
  std::string providerName;
  std::int32_t providerType = 0;
  std::string providerAlhoritm;
};

// A key container's description; the descendant is chosen by the type name in "_type".
class TsftContainerInfo : public TjsonPersistent {
 public:
  void Publish(TjsonPropertyVisitor& visitor) override;
  // The type name of this object's class (each descendant also has it as the static
  // TypeName(), callable without an object).
  virtual std::string_view ContainerTypeName() const noexcept = 0;

  std::string _type;  // the type name as carried in JSON
};

class TsftContainerInfoSCOM final : public TsftContainerInfo {
 public:
  DRAVIK_CLASS_NAME(TsftContainerInfoSCOM)
  static constexpr std::string_view TypeName() noexcept { return "ContainerSCOMNative"; }
  std::string_view ContainerTypeName() const noexcept override { return TypeName(); }
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string keyFile;
  std::string keyPath;
  std::string certPath;
  std::string CAFiles;
  std::string CRLFiles;
};

class TsftContainerInfoDravik final : public TsftContainerInfo {
 public:
  DRAVIK_CLASS_NAME(TsftContainerInfoDravik)
  static constexpr std::string_view TypeName() noexcept { return "ContainerDBODravik"; }
  std::string_view ContainerTypeName() const noexcept override { return TypeName(); }
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string containerLocationName;
};

// One signed (or to be verified) data item.
class TsftResultSignedDataItem final : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftResultSignedDataItem)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string signType;  // a sign-type name (SignTypeNames)
  std::string data;      // the signature of one data item
};

class TsftResultSignedData final : public TjsonCollection<TsftResultSignedDataItem> {
 public:
  // The item at `index`; EListError outside 0..Count()-1.
  TsftResultSignedDataItem& GetItem(int index) { return (*this)[index]; }
};

// The crypto-tool classes of a certificate or of a search (JSON: an array of class names).
class TSignClassesList final : public TjsonStringList {
 public:
  DRAVIK_CLASS_NAME(TSignClassesList)

  // The policy identifiers and, position for position, the class names they stand for
  // (the letters are Cyrillic, not Latin look-alikes).
  static constexpr std::array<std::string_view, 6> PolicyOIDs = {
      "1.2.643.100.113.1", "1.2.643.100.113.2", "1.2.643.100.113.3",
      "1.2.643.100.113.4", "1.2.643.100.113.5", "1.2.643.100.113.6"};
  static constexpr std::array<std::string_view, 6> SignClassNames = {"КС1", "КС2", "КС3",
                                                                     "КВ1", "КВ2", "КА1"};

  // Replaces the list by the class of every identifier that `policies` contains (as a
  // substring, letter case ignored), in table order, each class at most once.
  void SetFromPolicies(std::string_view policies);
  // The identifiers of the list's known classes (letter case ignored, Cyrillic included),
  // in list order, joined by the list's delimiter; unknown names are skipped.
  std::string GetPolicyOIDs() const;
};

// The eleven name fields of a distinguished name; the descendants choose what they publish.
class TsftASN1ListBase : public TjsonPersistent {
 public:
  std::string commonName;
  std::string organization;
  std::string organizationalUnit;
  std::string country;
  std::string state;
  std::string locality;
  std::string inn;
  std::string ogrn;
  std::string ogrnip;
  std::string snils;
  std::string email;
};

// One certificate's description.
class TsftCertificateInfo final : public TjsonPersistent {
 public:
  // A distinguished name as the certificate description writes it.
  class TsftASN1List final : public TsftASN1ListBase {
   public:
    DRAVIK_CLASS_NAME(TsftASN1List)
    void Publish(TjsonPropertyVisitor& visitor) override;
    // Each name field := the dump field `prefix` + its short name ("CN", "OU", ...), or ""
    // when the dump has none; nothing happens for null fields.
    void LoadFromFields(const TCertFieldsDictionary* fields, std::string_view prefix);
  };

  DRAVIK_CLASS_NAME(TsftCertificateInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  // Fills every member from a dump's fields and `body` from the certificate text `x509`;
  // nothing happens for null fields.
  void LoadFromFields(const TCertFieldsDictionary* fields, std::string_view x509);
  // Fills the description from the plugin's dump of `x509`; nothing happens for an empty
  // text, and a dump that cannot be made leaves everything but `body` empty.
  void LoadFromX509(std::string_view x509);
  // Rewrites a dump date "dd-mm-yy[yy][ hh:nn:ss]" followed by six more characters (the
  // zone, which the plugin always writes as " +0000") as "yyyy-mm-ddThh:nn:ss.000+0000";
  // a text of another form stays as it is. Independent of the process locale.
  static void FormatCertDate(std::string& dateText);

  std::string serialNumber;
  std::unique_ptr<TsftASN1List> subject = std::make_unique<TsftASN1List>();
  std::unique_ptr<TsftASN1List> issuer = std::make_unique<TsftASN1List>();
  std::string validFrom;
  std::string validUntil;
  std::string publicKey;
  std::string thumbprint;
  std::string cipfName;
  TSignClassesList cipfClasses;
  std::string body;  // base64 of the DER encoding, without armour and line breaks
};

class TsftCertificates final : public TjsonCollection<TsftCertificateInfo> {};

// The key containers of one outside signing client.
class TsftKeyContainerSFT final : public TjsonPersistent {
 public:
  class TsftKeyContainer final : public TjsonPersistent {
   public:
    TsftKeyContainer();
    DRAVIK_CLASS_NAME(TsftKeyContainer)
    void Publish(TjsonPropertyVisitor& visitor) override;

    // X509data := Base64 of the DER of the file's certificate (PEM, Base64 or DER; of a file
    // holding several, the first). False, with X509data empty, when there is no such file or
    // it holds no certificate (an enciphered PEM block counts as none); a file that is there but
    // cannot be read, a folder or anything else that is no regular file included, throws
    // EFOpenError.
    bool LoadX509FromFile(const std::string& fileName);

    std::unique_ptr<TsftProviderInfo> providerInfo = std::make_unique<TsftProviderInfo>();
    std::unique_ptr<TsftContainerInfo> containerInfo;  // a TsftContainerInfoSCOM
    std::unique_ptr<TsftCertificateInfo> certificateInfo = std::make_unique<TsftCertificateInfo>();
    std::string X509data;
  };

  class TsftPerson final : public TjsonPersistent {
   public:
    DRAVIK_CLASS_NAME(TsftPerson)
    void Publish(TjsonPropertyVisitor& visitor) override;

    std::string name;
    std::string position;
    TjsonCollection<TsftKeyContainer> keyContainers;
  };

  DRAVIK_CLASS_NAME(TsftKeyContainerSFT)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string fullName;
  std::string shortName;
  TjsonCollection<TsftPerson> persons;
};

}  // namespace dravik
