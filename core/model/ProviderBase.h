#pragma once

#include "core/model/Coding.h"
#include "core/model/ProviderState.h"
#include "core/model/ProviderType.h"
#include "core/model/ProviderUser.h"
#include "platform/async/Result.h"
#include "platform/store/ProviderEntity.h"

#include <QString>
#include <QUuid>

#include <optional>

namespace velmora {

// The fields that every account value has, whatever its tracker: id, name, kind,
// state and owner. The tracker's own account value adds its parameters. Code that
// holds any account (menus, the window manager, the state objects) reads these.
class ProviderBase {
public:
    // Absent until the account is first saved; then the key of its store row, its
    // keyring item and its snapshot entries. Never changes afterwards.
    const std::optional<QUuid>& id() const { return m_id; }

    const QString& name() const { return m_name; }
    void setName(QString name) { m_name = std::move(name); }

    // Always the kind of the concrete account value.
    ProviderType type() const { return m_type; }

    ProviderState state() const { return m_state; }
    void setState(ProviderState state) { m_state = state; }

    const std::optional<ProviderUser>& user() const { return m_user; }
    void setUser(std::optional<ProviderUser> user) { m_user = std::move(user); }

protected:
    ProviderBase(std::optional<QUuid> id, QString name, ProviderType type, ProviderState state,
                 std::optional<ProviderUser> user)
        : m_id(std::move(id)), m_name(std::move(name)), m_type(type), m_state(state),
          m_user(std::move(user)) {}

    bool sameCommonFields(const ProviderBase& other) const {
        return m_id == other.m_id && m_name == other.m_name && m_type == other.m_type &&
               m_state == other.m_state && m_user == other.m_user;
    }

    // Reads the common fields of a stored row for an account of kind `expected`.
    // Fails (with a text for the log) when the row's kind is not `expected`, its
    // state is none of the known ones or its id is not a UUID. A row without an
    // owner row gives an account without a user.
    static Result<ProviderBase, QString> readCommon(const ProviderEntity& entity, ProviderType expected);

    // Writes the common fields into a row (the parameters are the kind's business).
    // An account without an id gives a row with a null id: the caller assigns one.
    void writeCommon(ProviderEntity& entity) const;

    // The account value `P` kept in a row: the common fields plus `P`'s parameters,
    // decoded from the row's JSON text ("Provider is missing parameters" when they
    // do not decode).
    template <typename P> static Result<P, QString> fromEntityAs(const ProviderEntity& entity) {
        using R = Result<P, QString>;
        auto common = readCommon(entity, P::providerType);
        if (!common.ok()) {
            return R::failure(common.error());
        }
        auto parameters = decodeJsonText<typename P::Parameters>(entity.parametersValue);
        if (!parameters.ok()) {
            return R::failure(QStringLiteral("Provider is missing parameters"));
        }
        const ProviderBase& base = common.value();
        return R::success(P(base.id(), base.name(), std::move(parameters).value(), base.state(), base.user()));
    }

    // The row that keeps an account with these parameters.
    template <typename Parameters> ProviderEntity toEntityWith(const Parameters& parameters) const {
        ProviderEntity entity;
        writeCommon(entity);
        entity.parametersValue = encodeJsonText(parameters);
        return entity;
    }

private:
    std::optional<QUuid> m_id;
    QString m_name;
    ProviderType m_type;
    ProviderState m_state;
    std::optional<ProviderUser> m_user;
};

} // namespace velmora
