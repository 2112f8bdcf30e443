"""What an acceptance run costs: a small table of on-demand prices and the
estimate printed before anything is made.

The prices are US East (N. Virginia) on-demand list prices for Linux, in US
dollars; other regions differ by a few per cent, and free-tier hours are not
counted. The figures are an estimate, never a bill.
"""

from dataclasses import dataclass

# Dollars an hour per instance, on demand, Linux, us-east-1.
INSTANCE_HOURLY = {
    "t3.micro": 0.0104,
    "t3a.micro": 0.0094,
    "t2.micro": 0.0116,
    "t3.small": 0.0208,
    "t4g.micro": 0.0084,
}
# Every public IPv4 address, in use or idle, Elastic or assigned at launch.
PUBLIC_IPV4_HOURLY = 0.005
# gp3 storage, a GiB-month; the Amazon Linux 2023 root volume is 8 GiB.
EBS_GP3_GIB_MONTH = 0.08
ROOT_VOLUME_GIB = 8
HOURS_PER_MONTH = 730


@dataclass(frozen=True)
class Estimate:
    lines: list[tuple[str, float, float]]  # (what, expected dollars, at most dollars)

    @property
    def expected(self) -> float:
        return sum(line[1] for line in self.lines)

    @property
    def at_most(self) -> float:
        return sum(line[2] for line in self.lines)

    def text(self) -> str:
        rows = [f"  {what:<64} ${low:.4f}  (at most ${high:.4f})" for what, low, high in self.lines]
        return "\n".join(
            ["Cost estimate (us-east-1 on-demand list prices; an estimate, not a bill):", *rows,
             f"  {'total':<64} ${self.expected:.4f}  (at most ${self.at_most:.4f})"])


def estimate(instance_type: str, zones: int, deployments: int, expected_minutes: float,
             lifetime_minutes: float, hourly_price: float | None = None) -> Estimate:
    """The cost of `deployments` fleets of one `instance_type` instance per
    zone, each standing about `expected_minutes` and at most
    `lifetime_minutes` (the instances end themselves then), each holding an
    Elastic IP, its one public IPv4 address, for that time. Raises KeyError
    for a type the table lacks unless `hourly_price` is given."""
    price = INSTANCE_HOURLY[instance_type] if hourly_price is None else hourly_price
    count = zones * deployments
    low, high = count * expected_minutes / 60, count * lifetime_minutes / 60
    ebs_hourly = ROOT_VOLUME_GIB * EBS_GP3_GIB_MONTH / HOURS_PER_MONTH
    return Estimate([
        (f"{count} x {instance_type}, about {expected_minutes:g} min each "
         f"(at most {lifetime_minutes:g}) at ${price}/h", low * price, high * price),
        (f"{count} Elastic IPs (public IPv4) at ${PUBLIC_IPV4_HOURLY}/h",
         low * PUBLIC_IPV4_HOURLY, high * PUBLIC_IPV4_HOURLY),
        (f"{count} x {ROOT_VOLUME_GIB} GiB gp3 root volumes at ${EBS_GP3_GIB_MONTH}/GiB-month", low * ebs_hourly, high * ebs_hourly),
    ])
