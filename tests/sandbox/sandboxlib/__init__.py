"""The local AWS stand-in: moto's server behind a wrapper that adds instance
metadata, an address echo, a request journal, fault injection, world seeding
and corrections where moto departs from AWS."""
