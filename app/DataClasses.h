// The data-access classes a stored form of the desktop client may declare:
// the MySQL provider component, the front connection, query, update-SQL
// component and data source, each with the stored properties their descriptions carry
// (ProviderName, SpecificOptions, SQL, Active, DataSet ...).
//
// Decisions:
// - References between them (a query's Connection, a data source's DataSet,
//   the default transaction's DefaultConnection) are resolved by the reader
//   after reading (also a query's UpdateObject and the update-SQL
//   component's statement objects); Connected and Active wait for Loaded, as the components
//   themselves decide.
#pragma once

#include <lumokit/core/FormReader.h>

namespace lumo {

// Registers the classes (their base "TComponent" must be registered).
void RegisterDataClasses(TClassRegistry& registry);

}  // namespace lumo
