#pragma once

// A fault description (of the service or the dongle) with one member set, the others at rest.
template <class T, class M, class V>
T With(M T::*member, V value) {
  T fault;
  fault.*member = value;
  return fault;
}
